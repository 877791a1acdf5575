// One host link over a pseudo-terminal, in raw or COBS framing. The
// attachment that owns it decides what cutting the link means.
#pragma once

#include <functional>
#include <string>

#include "cobs_framing.h"
#include "fd_output.h"
#include "pty.h"
#include "simulator.h"

namespace zvsim {

class PtyLink : public Connection {
  public:
    enum class Framing { Raw, Cobs };

    PtyLink(Simulator& sim, SimModule& module, Framing framing, std::function<void()> onDrop);
    ~PtyLink() override;

    bool open(std::string& error);
    // Unregisters and closes the terminal.
    void close();
    const std::string& path() const { return pty_.path; }
    int slave() const { return pty_.slave; }
    void setOnHostData(std::function<void()> f) { onHostData_ = std::move(f); }

    void send(const Frame& frame) override;
    void drop() override;
    std::string describe() const override;
    // Throws away what is queued in both directions.
    void flush();

  private:
    void onEvents(short revents);
    void damage(std::vector<uint8_t>& block);

    Simulator& sim_;
    SimModule& module_;
    Framing framing_;
    std::function<void()> onDrop_;
    std::function<void()> onHostData_;
    Pty pty_;
    RawFrameParser raw_;
    CobsFrameDecoder cobs_;
    FdOutput output_;
};

}  // namespace zvsim
