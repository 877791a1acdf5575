// Entry point: one command line becomes at most a few Updater operations and
// one exit status (0 or 1).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BuildPath.h"
#include "CLI_Display.h"
#include "HTTPRequest.h"
#include "ListPrinters.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "Usage.h"
#include "aDirectory.h"

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;

// The store directory, created when missing; empty on failure (already reported).
std::string prepareStoreDirectory(CLI_Display& display, const Parameters& params) {
    std::string base = params.storeBase;
    if (base.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(err));
            display.message(Error, "Could not find the home directory for the firmware store; use -i <directory>");
            return {};
        }
        base = BuildPath(home, ".veltrina", nullptr);
    }
    std::string store = BuildPath(base.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(store.c_str(), 0755) != aErrNone) {
        display.message(Error, "Could not find updater directory at %s", store.c_str());
        return {};
    }
    return store;
}

int discover(CLI_Display& display, Updater& updater, const Parameters& params) {
    linkType type = INVALID;
    if (params.transportGiven && params.transport != kTransportRecover) type = static_cast<linkType>(params.transport);
    if (params.routerSerial) {
        display.message(Info, "Searching for Zentrovia Network devices connected to %08X", params.routerSerial);
        _display_device_list(display, updater.Discover_ZVNetwork_Devices(params.routerSerial, type), type);
    } else {
        display.message(Info, "Searching for Zentrovia devices");
        if (type == INVALID)
            _display_device_list(display, updater.Discover_Devices(USB), USB);
        else
            _display_device_list(display, updater.Discover_Devices(type), type);
    }
    return 0;
}

int update(CLI_Display& display, Updater& updater, const Parameters& params) {
    char* end = nullptr;
    unsigned build = _get_int_arg(params.build.c_str(), &end);
    updater.Set_UEIBytes_Load(params.ueiBytes);
    bool ok;
    if (params.transport == kTransportRecover) {
        ok = updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.deviceSerial,
                                      params.birdFile, params.modelOverride);
    } else {
        if (!params.deviceSerial) {
            display.message(Error, "Must specify the specific device to be updated");
            return 1;
        }
        ok = updater.Update_Firmware(params.deviceSerial, build, params.birdFile, params.moduleAddress,
                                     params.routerSerial, params.modelOverride);
    }
    return ok ? 0 : 1;
}

// -B, -L and -J all need a serial number; the message names the command.
bool requireSerial(CLI_Display& display, const Parameters& params, const char* command) {
    if (params.deviceSerial) return true;
    display.message(Error, "Error must supply a serial number for the %s command", command);
    _display_usage(false, false);
    return false;
}

int run(CLI_Display& display, Parameters& params) {
    _display_app_version(display);
    if (params.commands.IsSet(CMD_HELP) || !params.commands.HasCommand()) {
        _display_copyright(display);
        _display_usage(params.logMaskGiven, params.helpRequested);
        return 0;
    }

    std::string store = prepareStoreDirectory(display, params);
    if (store.empty()) return 1;
    HTTPRequest::settings().caCertFile = params.caCertFile;
    Updater updater(params.serverUrl.c_str(), store.c_str(), display);
    int status = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(Error, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.birdFile, params.baudRate,
                                    true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(Error, "Got no response from chip");
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (!params.deviceSerial) {
            display.message(Error, "-G must specify a specific device via -d");
            display.message(Error, "--help for usage information");
            return 1;
        }
        display.message(Info, "Retrieving firmware for device with serial number %08X", params.deviceSerial);
        if (params.build.empty()) {
            display.message(Info, "No build specified");
            display.message(Info, "Using Latest build");
        } else {
            display.message(Info, "Retrieving firmware build %s", params.build.c_str());
        }
        unsigned obtained = updater.Download_Firmware(params.deviceSerial, params.build, params.modelOverride, false);
        if (obtained) {
            params.build = std::to_string(obtained);
            status = 0;
        } else {
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER)) return discover(display, updater, params);
    if (params.commands.IsSet(CMD_UPDATE)) return update(display, updater, params);
    if (params.commands.IsSet(CMD_LIST_BUILDS)) {
        if (!requireSerial(display, params, "List Builds")) return 1;
        _display_builds(display, updater.Get_BuildList(params.deviceSerial), params.deviceSerial);
        return 0;
    }
    if (params.commands.IsSet(CMD_LIST_LOCAL)) {
        if (!requireSerial(display, params, "List Local Builds")) return 1;
        _display_builds(display, updater.Get_BuildListLocal(params.deviceSerial), params.deviceSerial);
        return 0;
    }
    if (params.commands.IsSet(CMD_GET_JWT)) {
        if (!requireSerial(display, params, "Get JWT")) return 1;
        _display_jwt(display, updater.Get_JWT(params.deviceSerial));
        return 0;
    }
    if (params.commands.IsSet(CMD_CHECK)) {
        if (params.birdFile.empty()) {
            display.message(Error, "-C must name the BIRD file to check with -f FILE");
            return 1;
        }
        return updater.Check_BirdFile(params.birdFile) ? 0 : 1;
    }
    if (params.commands.IsSet(CMD_INFO)) {
        if (params.deviceSerial) return updater.Show_StoredDevice(params.deviceSerial) ? 0 : 1;
        return updater.List_StoredDevices() ? 0 : 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }
    int status = run(display, params);
    _release_params(&params);
    return status;
}
