// The four identifier words that tell the update server which device a
// blank or bricked module is.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};
