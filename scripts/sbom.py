#!/usr/bin/env python3
"""Writes the SBOM of one release package, CycloneDX 1.5 JSON, for
scripts/dist:

  sbom.py windows OUT PACKAGE VERSION TRIPLE:PATH:FILE:MAP...
  sbom.py deb OUT DEB

windows: a zip or the NuGet package. Each TRIPLE:PATH:FILE:MAP is one
Windows binary: its target, its path inside the package, the file, and the
map that lld wrote when it linked it. The SBOM lists kesta's own binaries
with their SHA-256 and every third-party part the map shows went into
them (MinGW-w64's startup code, runtime and import libraries, libgcc,
libstdc++), one component for each archive or object file, with the
members taken from it, the Debian package it came from, that package's
installed version and its licence.

deb: a Debian package: the package itself and the packages it depends on,
with the versions installed where it was built.

Everything comes from the files and the package database, and the time is
SOURCE_DATE_EPOCH's, so the same build gives the same bytes.
"""

import hashlib
import json
import os
import re
import subprocess
import sys
import time
import uuid

KESTA_LICENCE = "MIT"
# The release's own Debian packages, which depend on each other.
OWN_PACKAGES = {"libkesta1", "libkesta-dev", "kesta-login"}
SUPPLIER = {"name": "the kesta authors", "url": ["https://kesta.example.org/"]}

# Licences of the Debian packages whose pieces a binary links or a package
# depends on, as SPDX expressions, from each package's copyright file. A
# package missing here stops the SBOM: its licence must be looked up first.
DEBIAN_LICENCES = [
    # MinGW-w64's runtime: ZPL 2.1, and the startup code and headers in the
    # public domain.
    (r"mingw-w64-(i686|x86-64)-dev", "ZPL-2.1 AND LicenseRef-public-domain"),
    # libgcc, libstdc++ and GCC's crtbegin/crtend: the GPL with the runtime
    # library exception, which lets them be linked into any program.
    (r"(gcc|g\+\+)-mingw-w64-(i686|x86-64)-(win32|posix)", "GPL-3.0-or-later WITH GCC-exception-3.1"),
    (r"libgcc-s1|libstdc\+\+6", "GPL-3.0-or-later WITH GCC-exception-3.1"),
    (r"libc6", "LGPL-2.1-or-later"),
    (r"libcurl4", "curl"),
    (r"libssl3", "Apache-2.0"),
]


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout.strip()


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def licence_of(package):
    for pattern, expression in DEBIAN_LICENCES:
        if re.fullmatch(pattern, package):
            return expression
    sys.exit("sbom: no licence known for the Debian package %s; add it to DEBIAN_LICENCES" % package)


def licences(expression):
    # A single SPDX id as an id, anything more as an expression.
    if re.fullmatch(r"[A-Za-z0-9.+-]+", expression):
        return [{"license": {"id": expression}}]
    return [{"expression": expression}]


def installed(package, arch=None):
    """(version, architecture) of an installed Debian package, of the
    architecture given where more than one is installed (libc6 is here
    for i386 too)."""
    out = run("dpkg-query", "-W", "-f=${Version} ${Architecture}\n", package).splitlines()
    rows = [line.split() for line in out]
    for version, row_arch in rows:
        if arch is None and len(rows) == 1 or row_arch in (arch, "all"):
            return version, row_arch
    sys.exit("sbom: %s is installed for %s, not for %s" % (
        package, ", ".join(r[1] for r in rows), arch))


def owner(path):
    """The Debian package that installed a file."""
    out = run("dpkg-query", "-S", os.path.realpath(path))
    return out.split(":")[0]


def debian_part(package, name=None, ref=None, extra=None, arch=None):
    version, arch = installed(package, arch)
    part = {
        "type": "library",
        "bom-ref": ref or "deb:%s" % package,
        "name": name or package,
        "version": version,
        "licenses": licences(licence_of(package)),
        "purl": "pkg:deb/debian/%s@%s?arch=%s" % (package, version, arch),
    }
    part.update(extra or {})
    return part


def map_inputs(path):
    """{archive or object name: set of members} from an lld-link map: the
    last column of each symbol line is LIB:MEMBER, or an object file."""
    inputs = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 4 or not re.fullmatch(r"[0-9a-f]{4}:[0-9a-f]{8}", fields[0]):
                continue
            where = fields[-1]
            if ":" in where:
                library, member = where.split(":", 1)
                inputs.setdefault(library + ".a", set()).add(member)
            elif where.endswith(".o"):
                inputs.setdefault(where, set())
    # kesta's own objects and import library.
    for own in ("objects.a", "libkesta.dll.a"):
        inputs.pop(own, None)
    return inputs


def resolve(triple, name):
    """Where the compiler found a library or object file of the link."""
    path = run("clang-19", "--target=" + triple, "-print-file-name=" + name)
    if not os.path.isabs(path):
        sys.exit("sbom: %s for %s not found where the compiler looks" % (name, triple))
    return path


def document(top, parts, dependencies, epoch, tools):
    serial = uuid.uuid5(uuid.NAMESPACE_URL, "kesta-sbom:" + json.dumps([top, parts], sort_keys=True))
    return {
        "bomFormat": "CycloneDX",
        "specVersion": "1.5",
        "serialNumber": "urn:uuid:%s" % serial,
        "version": 1,
        "metadata": {
            "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
            "tools": {"components": tools},
            "component": top,
        },
        "components": parts,
        "dependencies": dependencies,
    }


def tool(package):
    version, _ = installed(package)
    return {"type": "application", "name": package, "version": version}


def windows(out, package, version, binaries):
    top = {
        "type": "library",
        "bom-ref": "kesta",
        "name": "kesta",
        "version": version,
        "description": "%s: the kesta login client library for Windows" % package,
        "supplier": SUPPLIER,
        "licenses": licences(KESTA_LICENCE),
        "purl": "pkg:generic/kesta@%s" % version,
    }
    parts, third_party, dependencies = [], {}, []
    for entry in binaries:
        triple, inside, path, linkmap = entry.split(":", 3)
        ref = "%s:%s" % (triple, inside)
        parts.append({
            "type": "application" if inside.endswith(".exe") else "library",
            "bom-ref": ref,
            "name": os.path.basename(inside),
            "version": version,
            "description": "%s, built for %s" % (inside, triple),
            "supplier": SUPPLIER,
            "licenses": licences(KESTA_LICENCE),
            "hashes": [{"alg": "SHA-256", "content": sha256(path)}],
            "properties": [{"name": "kesta:path", "value": inside}],
        })
        uses = []
        for name, members in sorted(map_inputs(linkmap).items()):
            found = resolve(triple, name)
            debian = owner(found)
            part_ref = "deb:%s:%s" % (debian, name)
            uses.append(part_ref)
            part = third_party.get(part_ref)
            if part is None:
                part = debian_part(debian, name="%s (%s)" % (name, debian), ref=part_ref, extra={
                    "description": "%s from the Debian package %s, linked statically" % (found, debian),
                    "properties": [],
                })
                third_party[part_ref] = part
            known = {p["value"] for p in part["properties"]}
            for member in sorted(members - known):
                part["properties"].append({"name": "kesta:linked-member", "value": member})
            part["properties"].sort(key=lambda p: p["value"])
        dependencies.append({"ref": ref, "dependsOn": sorted(set(uses))})
    parts += [third_party[k] for k in sorted(third_party)]
    refs = [p["bom-ref"] for p in parts if not p["bom-ref"].startswith("deb:")]
    dependencies.insert(0, {"ref": "kesta", "dependsOn": refs})
    for ref in sorted(third_party):
        dependencies.append({"ref": ref, "dependsOn": []})
    return document(top, parts, dependencies, int(os.environ["SOURCE_DATE_EPOCH"]),
                    [tool("clang-19"), tool("lld-19")])


def deb(out, path):
    fields = {}
    for name in ("Package", "Version", "Architecture", "Depends"):
        fields[name] = run("dpkg-deb", "-f", path, name)
    top = {
        "type": "library" if fields["Package"].startswith("lib") else "application",
        "bom-ref": fields["Package"],
        "name": fields["Package"],
        "version": fields["Version"],
        "description": "%s: the Debian package %s" % (os.path.basename(path), fields["Package"]),
        "supplier": SUPPLIER,
        "licenses": licences(KESTA_LICENCE),
        "hashes": [{"alg": "SHA-256", "content": sha256(path)}],
        "purl": "pkg:deb/kesta/%s@%s?arch=%s" % (fields["Package"], fields["Version"],
                                              fields["Architecture"]),
    }
    parts = []
    for clause in filter(None, (c.strip() for c in fields["Depends"].split(","))):
        # The first of alternatives is the one the build had.
        name, _, constraint = clause.split("|")[0].strip().partition(" ")
        name = name.split(":")[0]
        extra = {
            "scope": "required",
            "properties": [{"name": "kesta:debian-depends", "value": clause}],
        }
        if name in OWN_PACKAGES:
            # Another of the release's packages, of the same version.
            extra.update({
                "type": "library",
                "bom-ref": "deb:%s" % name,
                "name": name,
                "version": fields["Version"],
                "supplier": SUPPLIER,
                "licenses": licences(KESTA_LICENCE),
                "purl": "pkg:deb/kesta/%s@%s?arch=%s" % (name, fields["Version"],
                                                      fields["Architecture"]),
            })
            parts.append(extra)
        else:
            parts.append(debian_part(name, extra=extra, arch=fields["Architecture"]))
    dependencies = [{"ref": top["bom-ref"], "dependsOn": [p["bom-ref"] for p in parts]}]
    dependencies += [{"ref": p["bom-ref"], "dependsOn": []} for p in parts]
    return document(top, parts, dependencies, int(os.environ["SOURCE_DATE_EPOCH"]),
                    [tool("cmake"), tool("dpkg-dev")])


def main():
    args = sys.argv[1:]
    if args[:1] == ["windows"] and len(args) >= 5:
        bom = windows(args[1], args[2], args[3], args[4:])
    elif args[:1] == ["deb"] and len(args) == 3:
        bom = deb(args[1], args[2])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    with open(args[1], "w") as f:
        json.dump(bom, f, indent=2, sort_keys=True)
        f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
