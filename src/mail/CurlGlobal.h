#pragma once

namespace corvane {

// curl_global_init must run once before any thread starts and be undone at the
// end; main() holds one of these for the life of the program, and so do tests.
class CurlGlobal {
public:
    CurlGlobal();
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal &) = delete;
    CurlGlobal &operator=(const CurlGlobal &) = delete;
};

} // namespace corvane
