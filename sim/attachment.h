// How modules meet hosts. An attachment is one way a module is reachable
// (TCP listener, serial pty, kernel node, USB); a connection is one host link
// through it that carries frames both ways.
#pragma once

#include <cstdint>
#include <string>

#include "frame.h"

namespace zvsim {

class Connection {
  public:
    virtual ~Connection() = default;
    // Sends one frame in the attachment's framing.
    virtual void send(const Frame& frame) = 0;
    // Cuts the link as a pulled cable would. The object may be destroyed
    // later, but no frame is delivered from it afterwards.
    virtual void drop() = 0;
    virtual std::string describe() const = 0;

    uint32_t id() const { return id_; }
    void setId(uint32_t id) { id_ = id; }

  private:
    uint32_t id_ = 0;
};

class Attachment {
  public:
    virtual ~Attachment() = default;
    // Starts serving and announces the endpoint with a "ready" line.
    virtual bool open(std::string& error) = 0;
    // The module restarts: links drop and the endpoint goes away or refuses.
    virtual void goDown() = 0;
    // The module is back, possibly under another serial number: the
    // endpoint serves again and is announced again.
    virtual void comeUp() = 0;
    // Cuts every link now; the endpoint stays available.
    virtual void dropLinks() = 0;
};

}  // namespace zvsim
