# The release build of the Windows binaries: clang and lld over the same
# MinGW-w64 headers, runtime and libgcc as the GCC build, so that beside
# the DWARF for gdb each binary gets a PDB, which Visual Studio, WinDbg and
# crash-dump tools read (functions, source files and lines, locals). The
# toolchain files clang-mingw-i686.cmake and clang-mingw-x86_64.cmake name
# the target and include this one; scripts/dist builds with them.
#
# lld 19, not Debian's default lld 14: lld 14 numbers the export table from
# ordinal 0 with an empty slot where the .def file starts at 1. clang 19
# leaves the compiler's command line, which holds the build's folders, out
# of the CodeView (-gno-codeview-command-line).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET ${KESTA_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${KESTA_TRIPLE})
set(CMAKE_RC_COMPILER ${KESTA_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The same bytes from any folder: the debug information names the source
# folder C:/kesta and the build folder C:/kesta/build (the source first: the
# build folder may lie inside it, and the later map is the one that
# applies), and lld writes C:/kesta/build for the folder it ran in.
get_filename_component(_kesta_source "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_kesta_flags "-gdwarf -gcodeview -gno-codeview-command-line -fdebug-compilation-dir=C:/kesta/build")
string(APPEND _kesta_flags " -ffile-prefix-map=${_kesta_source}=C:/kesta")
string(APPEND _kesta_flags " -ffile-prefix-map=${CMAKE_BINARY_DIR}=C:/kesta/build")
set(CMAKE_C_FLAGS_INIT ${_kesta_flags})
set(CMAKE_CXX_FLAGS_INIT ${_kesta_flags})
# Each binary's PDB beside it under the binary's own name (an empty --pdb=),
# and named in its debug directory by that file name alone (%_PDB%).
set(KESTA_LLD_FLAGS "-fuse-ld=lld -Wl,--pdb= -Wl,-Xlink=-pdbaltpath:%_PDB%")
# CMake hands the compile flags to the link too, where the CodeView ones
# have nothing to do.
string(APPEND KESTA_LLD_FLAGS " -Wno-unused-command-line-argument")
string(APPEND KESTA_LLD_FLAGS " -Wl,-Xlink=-pdbsourcepath:C:/kesta/build")
# A map of the link beside each binary, which names every archive member
# that went into it: the release lists them in its SBOMs.
string(APPEND KESTA_LLD_FLAGS " -Wl,-Xlink=-map")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${KESTA_LLD_FLAGS})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${KESTA_LLD_FLAGS})

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
