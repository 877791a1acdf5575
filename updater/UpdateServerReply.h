// Parsers for the update server's text replies. They see only the body text;
// the requests and their transport live in UpdateServerRequest.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ServerReply {

// Non-empty lines of a body split at line feeds.
std::vector<std::string> Lines(const std::string& body);
// The reply counts only when its first line begins with "ok".
bool IsOk(const std::vector<std::string>& lines);
// A field ends at the first carriage return or line feed.
std::string UpToLineEnd(const std::string& text);

// Each parser expects the lines of an accepted reply (first line "ok").
void QueryBuild(const std::vector<std::string>& lines, std::string& build, std::string& firmware);
// Line 2 with any carriage return cut off; empty when missing.
std::string Package(const std::vector<std::string>& lines);
void BuildList(const std::vector<std::string>& lines, std::map<std::string, std::string>& builds);
void RecoveryInfo(const std::vector<std::string>& lines, uint32_t& serial, uint32_t& build);
// False unless line 2 holds header, payload and signature of 2 or more characters each.
bool DeviceJWT(const std::vector<std::string>& lines, std::string& token);

}  // namespace ServerReply
