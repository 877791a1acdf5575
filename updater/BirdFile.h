// BIRD firmware packages: a six-byte header ("bird", format
// version) and a zlib-compressed payload of typed blocks. BirdFile loads one
// into memory, exposes its blocks and build information, checks it against a
// device model and patches a device's serial number into the firmware.
//
// Hostile files are parsed within their bounds (BirdParser.h): the payload is
// capped at bird::kMaxPayloadSize, lying lengths and counts end the block
// walk, and blocks too short for their type are ignored by the operations
// that would read them. StructureOk() tells whether the package is sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define BIRD_FILE_SIGNATURE "bird"
#define BIRD_FILE_VERSION 0x0101
#define BIRD_FILE_TYPE_MASK 0x1F
#define BIRD_FILE_FLAG_MASK 0xE0

// A view into a loaded payload; valid as long as its BirdFile lives.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;              // 0-7
    uint32_t length = 0;            // data length L
    uint32_t address = 0;           // load address for types 0 and 1, else 0
    unsigned char* data = nullptr;  // first data byte, inside the payload
};

class BirdFile {
  public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_NUMBER = 2,
        BLOCK_BUILD_INFO = 4,
        BLOCK_START_ADDRESS = 5,
    };

    BirdFile();
    // Keeps the path and loads; throws std::runtime_error("Failed to load
    // bird data") when the load fails.
    explicit BirdFile(const char* path);
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile();

    // Reads, inflates and parses the file at the kept path. Does not look at
    // the signature (VerifyFile does). A block-structure mismatch does not
    // fail the load.
    bool Load();
    // Keeps this path, then Load(); for callers that want the problems of a
    // failed load instead of an exception.
    bool Load(const char* path);
    // Six header bytes: "bird" and a version with both bytes non-zero.
    static bool VerifyFile(const char* path);
    // Inflates into a new payload buffer of at most 8 x count bytes, and
    // never more than bird::kMaxPayloadSize.
    bool DecompressData(const unsigned char* data, unsigned long count);
    // Parses a payload into the block list; false on any mismatch (the
    // blocks before it stay). Blocks point into `payload`.
    bool ScanBlocks(const unsigned char* payload, unsigned int size);

    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    bool FindSerialNumberOffsets();

    // Build information (the first type 4 block; one shorter than 64 bytes
    // counts as absent): 0 or empty text without it.
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    uint32_t GetSerialNumber() const;
    // Model name, trailing blanks removed (an addition, for
    // listings).
    std::string GetModel() const;
    bool ValidateSerialNumber(unsigned int serial) const;
    bool ValidateModel(const char* model) const;
    // The type 5 block's address; false when there is none usable.
    bool GetStartAddress(uint32_t* address) const;

    bool ReplaceSerialNumber(unsigned int serial);
    bool DecodeFirmwareBlocks(const unsigned int* key);
    bool ReplaceVectorChecksum();
    bool ValidateData(unsigned char* pattern, unsigned int length) const;
    bool DumpBlocks(BLOCK_TYPE type) const;

    const std::string& Path() const { return path_; }
    uint32_t Signature() const { return signature_; }
    uint32_t Version() const { return version_; }
    uint32_t Checksum() const { return checksum_; }
    uint32_t BlockCount() const { return blockCount_; }             // blocks parsed
    uint32_t ReportedBlockCount() const { return reportedCount_; }  // the payload's own count
    const std::vector<BirdBlock>& Blocks() const { return blocks_; }
    bool HasSerialNumberBlock() const { return hasSerialBlock_; }
    uint32_t SerialNumberAddress() const { return serialAddress_; }
    uint32_t DescriptorAddress() const { return descriptorAddress_; }
    const unsigned char* Payload() const { return payload_.get(); }
    size_t PayloadSize() const { return payloadSize_; }

    // Problems found by the last load or scan, in words; empty for a sound
    // package.
    const std::vector<std::string>& StructureProblems() const { return problems_; }
    bool StructureOk() const { return problems_.empty(); }
    // Everything that keeps a loaded package from being usable: a header
    // that VerifyFile would refuse, the structure problems, no build
    // information, no loader or firmware block. Empty for a sound package.
    std::vector<std::string> PackageProblems() const;

  private:
    const BirdBlock* buildInfo() const;
    std::string buildField(unsigned index, size_t width) const;
    void reset();

    std::string path_;
    uint32_t signature_ = 0;
    uint32_t version_ = 0;
    uint32_t checksum_ = 0;
    uint32_t blockCount_ = 0;
    std::vector<BirdBlock> blocks_;
    bool hasSerialBlock_ = false;
    uint32_t serialAddress_ = 0;
    uint32_t descriptorAddress_ = 0;
    std::unique_ptr<unsigned char[]> payload_;
    size_t payloadSize_ = 0;
    uint32_t reportedCount_ = 0;
    std::vector<std::string> problems_;
};
