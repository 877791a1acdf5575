// Where the maker's update server lives. The request path is fixed; the host
// can be replaced at run time with --http, --https or -u.
#pragma once

#define UPDATE_SERVER_HOST "update.veltrina.example"
#define UPDATE_SERVER_PATH "/cgi/u"
#define UPDATE_SERVER_HTTP_URL "http://" UPDATE_SERVER_HOST UPDATE_SERVER_PATH
#define UPDATE_SERVER_HTTPS_URL "https://" UPDATE_SERVER_HOST UPDATE_SERVER_PATH
