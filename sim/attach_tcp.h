// Legacy Ethernet attachment: a TCP listener whose connections carry raw
// frames. While the module restarts, new connections are reset at once.
#pragma once

#include <memory>
#include <vector>

#include "fd_output.h"
#include "simulator.h"

namespace zvsim {

class TcpAttachment : public Attachment {
  public:
    TcpAttachment(Simulator& sim, SimModule& module);
    ~TcpAttachment() override;

    bool open(std::string& error) override;
    void goDown() override;
    void comeUp() override;
    void dropLinks() override;
    uint16_t port() const { return port_; }

  private:
    class TcpConnection;

    void onAccept();
    void announce();
    void bury(TcpConnection* connection);

    Simulator& sim_;
    SimModule& module_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::vector<std::unique_ptr<TcpConnection>> connections_;
    std::vector<std::unique_ptr<TcpConnection>> closed_;  // freed at the next accept
};

}  // namespace zvsim
