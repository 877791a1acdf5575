// The JSON report: per module its identity, the flashed ranges with their
// SHA-256, the loader blocks received and the packet counts.
#pragma once

#include <string>
#include <vector>

#include "module_model.h"

namespace zvsim {

struct ReportModule {
    const ModuleModel* model;
    uint32_t routerSerial;  // 0: attached directly
    std::string imageSha256;
    uint64_t imageSize;
    bool up;
};

std::string reportJson(const std::vector<ReportModule>& modules);
// Writes through a temporary file and a rename, so a reader never sees half
// a report.
bool writeReportFile(const std::string& path, const std::vector<ReportModule>& modules,
                     std::string& error);

}  // namespace zvsim
