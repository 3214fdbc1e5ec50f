#include "mail/CurlGlobal.h"

#include <curl/curl.h>

namespace corvane {

CurlGlobal::CurlGlobal()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

CurlGlobal::~CurlGlobal()
{
    curl_global_cleanup();
}

} // namespace corvane
