// The packet log of a link: the engine records the frames it sends and
// receives, and a logger thread writes them into a text file.
#include "LinkImpl.h"
#include "aFile.h"
#include "aLink.h"
#include "aPacketDebug.h"

namespace Veltrina {
namespace Zentrovia {
namespace {

constexpr char kStartRecord[] = "START";

// One record as a line: size and direction ('>' sent, '<' otherwise), then
// the text, or each byte in hexadecimal. Nonzero when there was none.
aErr readDebugBuffer(aFileRef file, int32_t linkId) {
    uint8_t record[aPACKETLOG_MAX_RECORD];
    int32_t type = 0;
    uint32_t length = sizeof record;
    const aErr err = aLink_PacketDebug_Read(linkId, &type, &length, record);
    if (err != aErrNone) return err;
    aFile_Printf(file, "%d %s ", static_cast<int>(length), type == aPACKETLOG_SENT ? ">" : "<");
    for (uint32_t i = 0; i < length; ++i) {
        if (type != aPACKETLOG_TEXT)
            aFile_Printf(file, "0x%X ", record[i]);
        else if (record[i] != 0)  // a text's terminator is not written
            aFile_Printf(file, "%c", record[i]);
    }
    aFile_Printf(file, "\r\n");
    return aErrNone;
}

}  // namespace

aErr Link::enablePacketLog(const char* fileName) {
    if (!m_impl->holdsLink()) return aErrConfiguration;
    if (!m_impl->packetLogger && !fileName) return aErrParam;
    aErr err = aLink_PacketDebug_Enable(m_impl->linkId);
    if (err != aErrNone) return err;
    if (!m_impl->packetLogger) {
        m_impl->packetLogger = aLogger_Create(m_impl->linkId, readDebugBuffer, fileName);
        if (!m_impl->packetLogger) {
            aLink_PacketDebug_Disable(m_impl->linkId);
            return aErrIO;
        }
    }
    err = aLogger_Enable(m_impl->packetLogger);
    if (err != aErrNone) return err;
    return aLink_PacketDebug_Write(m_impl->linkId, aPACKETLOG_TEXT, sizeof kStartRecord,
                                   reinterpret_cast<const uint8_t*>(kStartRecord));
}

aErr Link::disablePacketLog() {
    if (!m_impl->holdsLink()) return aErrConfiguration;
    const aErr err = aLink_PacketDebug_Disable(m_impl->linkId);
    if (m_impl->packetLogger) aLogger_Disable(m_impl->packetLogger);
    return err;
}

}  // namespace Zentrovia
}  // namespace Veltrina
