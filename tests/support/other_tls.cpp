// A libcurl over another TLS library, which cannot be had on this machine:
// linked into a test program, this curl_version_info reports another TLS
// library than the layer's OpenSSL, so that the layer leaves the trust
// store to libcurl, as it does for such a libcurl. Everything else is the
// real libcurl's.
#include <curl/curl.h>
#include <dlfcn.h>

extern "C" curl_version_info_data *curl_version_info(CURLversion version)
{
    using Real = curl_version_info_data *(*)(CURLversion);
    static curl_version_info_data info = [version] {
        curl_version_info_data real =
            *reinterpret_cast<Real>(dlsym(RTLD_NEXT, "curl_version_info"))(version);
        real.ssl_version = "OtherTLS/1.0";
        return real;
    }();
    return &info;
}
