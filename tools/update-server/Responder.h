// Turns one update-server request (its query parameters) into the reply
// status and text body. Knows nothing of HTTP transport.
#pragma once

#include <map>
#include <set>
#include <string>

#include "FirmwareFolder.h"

struct Reply {
    int status = 200;
    std::string body;
};

// Faults a test can ask for, per operation ("bird", "qu", "builds", "fix",
// "ent_jwt", "hi") or for every operation ("any").
enum class Fault { None, Http500, Refuse, EmptyPackage, BadBase64, DamagedPackage, Stall };

class Responder {
public:
    explicit Responder(const FirmwareFolder& folder) : folder_(folder) {}

    void SetFault(const std::string& operation, Fault fault) { faults_[operation] = fault; }
    Fault FaultFor(const std::string& operation) const;
    Reply Answer(const std::map<std::string, std::string>& query) const;

private:
    Reply Ping() const;
    Reply QueryBuild(uint32_t serial) const;
    Reply GetBuild(uint32_t serial, const std::string& build, Fault fault) const;
    Reply BuildList(uint32_t serial) const;
    Reply RecoveryInfo(const std::string& fingerprint) const;
    Reply DeviceToken(uint32_t serial) const;

    const FirmwareFolder& folder_;
    std::map<std::string, Fault> faults_;
};

bool ParseFault(const std::string& text, std::string& operation, Fault& fault);
