// The legacy discovery responder: one UDP socket on the discovery port,
// joined to the group on every IPv4 interface, answering for every module
// with a TCP attachment that is up.
#pragma once

#include <string>
#include <vector>

#include "attach_tcp.h"

namespace zvsim {

class MulticastResponder {
  public:
    explicit MulticastResponder(Simulator& sim) : sim_(sim) {}
    ~MulticastResponder();

    void add(SimModule& module, TcpAttachment& tcp) { entries_.push_back({&module, &tcp}); }
    bool open(std::string& error);

  private:
    struct Entry {
        SimModule* module;
        TcpAttachment* tcp;
    };

    void onRequest();

    Simulator& sim_;
    std::vector<Entry> entries_;
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace zvsim
