#include "HTTPRequest.h"

#include <curl/curl.h>

#include <memory>
#include <stdexcept>

#include "Log.h"

namespace {

size_t receiveData(char* data, size_t size, size_t count, void* user) {
    auto* response = static_cast<HTTPResponse*>(user);
    size_t length = size * count;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(user)),
             std::string(data, length < 100 ? length : 100).c_str());
    response->process(data, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

// libcurl must be initialised once before threads use it.
void globalInit() {
    static const bool done = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)done;
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

void check(CURLcode code) {
    if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
}

}  // namespace

HTTPSettings& HTTPRequest::settings() {
    static HTTPSettings instance;
    return instance;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& parameters) {
    globalInit();
    std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());

    std::string request = url;
    if (!parameters.empty()) {
        request += "?";
        for (const auto& [key, value] : parameters) request += key + "=" + value + "&";
    }
    HTTPResponse response(request);
    if (!handle) throw std::runtime_error("Could not create curl instance");

    const HTTPSettings& s = settings();
    CURL* h = handle.get();
    check(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, receiveData));
    check(curl_easy_setopt(h, CURLOPT_WRITEDATA, &response));
    check(curl_easy_setopt(h, CURLOPT_URL, request.c_str()));
    // Firmware comes over this connection: the server must prove who it is.
    check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L));
    check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L));
    check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L));
    if (!s.caCertFile.empty()) check(curl_easy_setopt(h, CURLOPT_CAINFO, s.caCertFile.c_str()));
    check(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
    check(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, s.connectTimeoutSeconds));
    check(curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L));
    check(curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, s.stallTimeoutSeconds));

    Log::log(DEBUG_ServerComm, "GET(%s)\n", request.c_str());
    check(curl_easy_perform(h));
    long status = 0;
    check(curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status));
    response.set_status(status);
    return response;
}
