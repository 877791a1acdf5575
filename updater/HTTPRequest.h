// One HTTP(S) GET with query parameters, over a fresh libcurl handle.
#pragma once

#include <map>
#include <string>

class HTTPResponse {
public:
    explicit HTTPResponse(std::string request) : request_(std::move(request)) {}

    const std::string& get_request() const { return request_; }
    long get_status() const { return status_; }
    // The body as a modifiable zero-terminated buffer, for splitting in place.
    char* get_response() { return response_.data(); }
    const std::string& body() const { return response_; }
    void set_status(long status) { status_ = status; }
    void process(const char* data, unsigned long length) { response_.append(data, length); }

private:
    std::string request_;
    long status_ = 0;
    std::string response_;
};

struct HTTPSettings {
    // Extra certificate authority file trusted besides the system's store.
    std::string caCertFile;
    long connectTimeoutSeconds = 15;
    // A transfer that moves no byte for this long is abandoned.
    long stallTimeoutSeconds = 30;
};

class HTTPRequest {
public:
    // Throws std::runtime_error on a transport failure; any status is returned.
    static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& parameters);

    // Process-wide settings, made once by the entry point before any request.
    static HTTPSettings& settings();
};
