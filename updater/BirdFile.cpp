#include "BirdFile.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "BirdParser.h"
#include "Log.h"
#include "aBytes.h"
#include "aFile.h"

namespace {

const char* text(const std::string& s) {
    return s.c_str();
}

}  // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* path) : path_(path ? path : "") {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept
    : path_(std::move(other.path_)),
      signature_(other.signature_),
      version_(other.version_),
      checksum_(other.checksum_),
      blockCount_(other.blockCount_),
      blocks_(std::move(other.blocks_)),
      hasSerialBlock_(other.hasSerialBlock_),
      serialAddress_(other.serialAddress_),
      descriptorAddress_(other.descriptorAddress_),
      payload_(std::move(other.payload_)),
      payloadSize_(other.payloadSize_),
      reportedCount_(other.reportedCount_),
      problems_(std::move(other.problems_)) {
    other.path_.clear();
    other.reset();
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this != &other) {
        path_ = std::move(other.path_);
        signature_ = other.signature_;
        version_ = other.version_;
        checksum_ = other.checksum_;
        blockCount_ = other.blockCount_;
        blocks_ = std::move(other.blocks_);
        hasSerialBlock_ = other.hasSerialBlock_;
        serialAddress_ = other.serialAddress_;
        descriptorAddress_ = other.descriptorAddress_;
        payload_ = std::move(other.payload_);  // the blocks' data moves with it
        payloadSize_ = other.payloadSize_;
        reportedCount_ = other.reportedCount_;
        problems_ = std::move(other.problems_);
        other.path_.clear();
        other.reset();
    }
    return *this;
}

BirdFile::~BirdFile() = default;

void BirdFile::reset() {
    signature_ = 0;
    version_ = 0;
    checksum_ = 0;
    blockCount_ = 0;
    blocks_.clear();
    hasSerialBlock_ = false;
    serialAddress_ = 0;
    descriptorAddress_ = 0;
    payload_.reset();
    payloadSize_ = 0;
    reportedCount_ = 0;
    problems_.clear();
}

bool BirdFile::VerifyFile(const char* path) {
    aFileRef file = aFile_Open(path, aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 path ? path : "");
        return false;
    }
    uint8_t header[bird::kHeaderSize];
    size_t count = 0;
    aErr err = aFile_Read(file, header, sizeof header, &count);
    aFile_Close(&file);
    if (err != aErrNone || count != sizeof header) return false;
    bird::Header h;
    return bird::ParseHeader(header, count, &h) && bird::HeaderIsValid(h);
}

bool BirdFile::Load(const char* path) {
    path_ = path ? path : "";
    return Load();
}

bool BirdFile::Load() {
    const char* path = path_.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    reset();

    if (!aFile_Exists(path)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        problems_.push_back("the file does not exist");
        return false;
    }
    aFileRef file = aFile_Open(path, aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
        problems_.push_back("the file cannot be opened");
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(err), path);
        problems_.push_back("the file's size cannot be read");
        aFile_Close(&file);
        return false;
    }
    if (size > bird::kMaxFileSize) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Error - %s is %zu bytes, more than the %zu bytes a package may have\n",
                 path, size, bird::kMaxFileSize);
        problems_.push_back("the file is larger than any package may be");
        aFile_Close(&file);
        return false;
    }

    bool ok = false;
    std::unique_ptr<unsigned char[]> image(new (std::nothrow) unsigned char[size ? size : 1]);
    size_t total = 0;
    if (!image) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(aErrMemory),
                 path);
        problems_.push_back("no memory for the file");
    } else {
        err = aErrNone;
        while (total < size) {
            size_t count = 0;
            err = aFile_Read(file, image.get() + total, size - total, &count);
            if (err != aErrNone || count == 0) break;
            total += count;
        }
        if (err != aErrNone && err != aErrEOF) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err),
                     path);
            problems_.push_back("the file cannot be read");
        } else if (total < size) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                     path, total, size);
            problems_.push_back("the file ended before its size was read");
        } else if (size <= bird::kHeaderSize) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Error - %s has %zu bytes, no payload after the header\n", path,
                     size);
            problems_.push_back("the file is too short to hold a payload");
        } else {
            bird::Header header;
            bird::ParseHeader(image.get(), size, &header);
            signature_ = header.signature;
            version_ = header.version;
            if (DecompressData(image.get() + bird::kHeaderSize, size - bird::kHeaderSize)) {
                // A block-structure mismatch is logged and recorded, but the
                // load succeeds with the blocks read before it.
                ScanBlocks(payload_.get(), static_cast<unsigned int>(payloadSize_));
                FindSerialNumberOffsets();
                ok = true;
            }
        }
    }

    for (const BirdBlock& block : blocks_) {
        if (block.type == BLOCK_SERIAL_NUMBER) {
            hasSerialBlock_ = true;
            FindSerialNumberOffsets();
            break;
        }
    }
    aFile_Close(&file);
    return ok;
}

bool BirdFile::DecompressData(const unsigned char* data, unsigned long count) {
    // New payload: the blocks of an earlier one would point into freed memory.
    blocks_.clear();
    blockCount_ = 0;
    payload_.reset();
    payloadSize_ = 0;
    if (!data || count == 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_BUF_ERROR);
        problems_.push_back("the payload is empty");
        return false;
    }

    // The format's own bound is 8 x the compressed size; the sanity bound
    // keeps a bomb from growing past bird::kMaxPayloadSize.
    const bool capped = count > bird::kMaxPayloadSize / 8;
    const size_t capacity = capped ? bird::kMaxPayloadSize : static_cast<size_t>(count) * 8;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[capacity]);
    if (!buffer) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        problems_.push_back("no memory for the payload");
        return false;
    }
    uLongf length = capacity;
    int z = uncompress(buffer.get(), &length, data, count);
    if (z != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        if (z == Z_BUF_ERROR) {
            problems_.push_back(capped ? "the payload inflates to more than the 64 MiB a package "
                                         "may hold, or is cut short"
                                       : "the payload inflates to more than 8 times its compressed "
                                         "size, or is cut short");
        } else {
            problems_.push_back("the payload is not a valid zlib stream");
        }
        return false;
    }
    // Keep only what was inflated.
    if (length < capacity) {
        std::unique_ptr<unsigned char[]> exact(
            new (std::nothrow) unsigned char[length ? length : 1]);
        if (exact) {
            if (length) std::memcpy(exact.get(), buffer.get(), length);
            buffer = std::move(exact);
        }
    }
    payload_ = std::move(buffer);
    payloadSize_ = length;
    return true;
}

bool BirdFile::ScanBlocks(const unsigned char* payload, unsigned int size) {
    blocks_.clear();
    blockCount_ = 0;
    bird::ScanResult res = bird::ScanPayload(payload, size);
    reportedCount_ = res.reportedCount;
    for (const std::string& problem : res.problems) problems_.push_back(problem);

    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n",
             static_cast<int>(res.reportedCount));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
    for (const bird::BlockRecord& rec : res.blocks) {
        BirdBlock block;
        block.type = rec.type;
        block.flags = rec.flags;
        block.length = rec.length;
        block.address = rec.address;
        block.data = const_cast<unsigned char*>(payload) + rec.offset;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(block.length));
        if (block.type == BLOCK_BUILD_INFO && block.length >= bird::kBuildInfoSize) {
            for (unsigned field = 0; field < 4; ++field) {
                std::string value =
                    bird::BuildInfoField(block.data, block.length, field, bird::kBuildInfoField);
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", text(value));
            }
        }
        blocks_.push_back(block);
        ++blockCount_;
    }
    if (res.stoppedEarly)
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing stopped: %s\n", text(res.stopReason));

    if (res.checksumRead) {
        checksum_ = res.checksum;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum_);
    } else {
        checksum_ = 0;
        Log::log(
            DEBUG_BirdFile,
            "BIRDFILE: Block parsing mismatch in data size. (payload ends without its checksum)\n");
    }

    bool ok = res.checksumRead;
    if (res.checksumRead && res.remaining > 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(res.remaining));
        ok = false;
    }
    if (blockCount_ != res.reportedCount) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount_), static_cast<int>(res.reportedCount));
        ok = false;
    }
    return ok && !res.stoppedEarly;
}

std::vector<std::string> BirdFile::PackageProblems() const {
    std::vector<std::string> problems;
    bird::Header header;
    header.signature = signature_;
    header.version = static_cast<uint16_t>(version_);
    if (!bird::HeaderIsValid(header))
        problems.push_back(
            "the header is not a BIRD header (\"bird\" and a version with two non-zero bytes)");
    problems.insert(problems.end(), problems_.begin(), problems_.end());
    bool hasImage = false;
    for (const BirdBlock& block : blocks_)
        hasImage = hasImage || block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE;
    if (!buildInfo()) problems.push_back("there is no usable build information block");
    if (!hasImage) problems.push_back("there is no loader or firmware block");
    return problems;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks_)
        if (block.type == type) found.push_back(block);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount_ == 0) return false;
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_SERIAL_NUMBER) continue;
        // Only the first type 2 block counts; one too short has no data.
        if (!block.data || block.length < bird::kSerialBlockSize) return false;
        zv::ByteReader r(block.data, block.length);
        serialAddress_ = r.u32be();
        descriptorAddress_ = r.u32be();
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 static_cast<int>(serialAddress_), static_cast<int>(descriptorAddress_));
        return true;
    }
    return false;
}

const BirdBlock* BirdFile::buildInfo() const {
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_BUILD_INFO) continue;
        if (!block.data || block.length < bird::kBuildInfoSize) return nullptr;
        return &block;
    }
    return nullptr;
}

std::string BirdFile::buildField(unsigned index, size_t width) const {
    const BirdBlock* info = buildInfo();
    if (!info) return {};
    return bird::BuildInfoField(info->data, info->length, index, width);
}

uint32_t BirdFile::GetBuild() const {
    std::string field = buildField(0, 15);
    return static_cast<uint32_t>(strtoul(field.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    std::string field = buildField(1, 15);
    size_t end = field.find_first_of(std::string(" \0", 2));
    if (end != std::string::npos) field.resize(end);
    return field;
}

uint32_t BirdFile::GetSerialNumber() const {
    std::string field = buildField(2, 8);
    return static_cast<uint32_t>(strtoul(field.c_str(), nullptr, 16));
}

std::string BirdFile::GetModel() const {
    std::string model = buildField(3, bird::kBuildInfoField);
    while (!model.empty() && (model.back() == ' ' || model.back() == '\0')) model.pop_back();
    return model;
}

bool BirdFile::ValidateSerialNumber(unsigned int serial) const {
    return serial == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* model) const {
    if (!model || !buildInfo()) return false;
    const std::string stored = GetModel();
    const size_t length = std::strlen(model);
    if (length > stored.size() || stored.compare(0, length, model, length) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", stored.c_str(), model);
    return true;
}

bool BirdFile::GetStartAddress(uint32_t* address) const {
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_START_ADDRESS) continue;
        if (!block.data || block.length < bird::kStartAddressSize) return false;
        zv::ByteReader r(block.data, block.length);
        uint32_t value = r.u32be();
        if (address) *address = value;
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serial) {
    char digits[16];
    snprintf(digits, sizeof digits, "%08X", serial);

    bool result = false;
    for (BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || !block.data || block.length < bird::kImageAddressSize)
            continue;
        // The image covers addresses A up to, not including, A + L - 4.
        unsigned char* image = block.data + bird::kImageAddressSize;
        const uint64_t imageLength = block.length - bird::kImageAddressSize;
        const uint64_t start = block.address;
        const uint64_t end = start + imageLength;

        const uint64_t s = serialAddress_;
        if (s != 0) {
            if (s >= start && s + 4 <= end) {
                const size_t offset = static_cast<size_t>(s - start);
                zv::ByteReader r(image + offset, 4);
                uint32_t old = r.u32le();
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         old, serial);
                zv::ByteWriter w(image + offset, 4);
                w.u32le(serial);
            }
            result = true;
        }
        const uint64_t d = descriptorAddress_;
        if (d != 0 && d >= start && d + 16 <= end) {
            const size_t offset = static_cast<size_t>(d - start);
            for (size_t i = 0; i < 8; ++i)
                image[offset + 2 * i] = static_cast<unsigned char>(digits[i]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* keyWords) {
    if (!keyWords) return false;
    unsigned char key[16];
    for (int w = 0; w < 4; ++w) {
        for (int b = 0; b < 4; ++b)
            key[4 * w + b] = static_cast<unsigned char>(keyWords[w] >> (24 - 8 * b));
    }
    for (BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || !block.data || block.length < bird::kImageAddressSize)
            continue;
        unsigned char* image = block.data + bird::kImageAddressSize;
        const size_t length = block.length - bird::kImageAddressSize;
        unsigned char previous = 0;
        size_t index = 0;
        for (size_t i = 0; i < length; ++i) {
            unsigned char plain = static_cast<unsigned char>(image[i] ^ key[index] ^ previous);
            image[i] = plain;
            previous = plain;
            index = (index + 1) % 16;
        }
    }
    return true;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || block.address != 0 || !block.data) continue;
        if (block.length < bird::kImageAddressSize + 32) continue;  // no full vector table
        unsigned char* image = block.data + bird::kImageAddressSize;
        zv::ByteReader r(image, 32);
        uint32_t words[8];
        for (uint32_t& word : words) word = r.u32le();
        uint32_t sum = words[0] + words[1] + words[2] + words[3] + words[4] + words[6];
        uint32_t checksum = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 words[7], checksum);
        zv::ByteWriter w(image + 28, 4);
        w.u32le(checksum);
    }
    return true;
}

bool BirdFile::ValidateData(unsigned char* pattern, unsigned int length) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path_.c_str());
    bool found = false;
    if (pattern && length > 0) {
        for (const BirdBlock& block : blocks_) {
            if (block.type != BLOCK_FIRMWARE || !block.data || length > block.length) continue;
            for (size_t pos = 0; pos + length <= block.length; ++pos) {
                if (std::memcmp(block.data + pos, pattern, length) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(pos));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path_.c_str());
    for (const BirdBlock& block : blocks_) {
        if (block.type != type) continue;
        std::string collected;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", collected.c_str(), static_cast<int>(i));
                collected.clear();
            }
            unsigned char byte = block.data[i];
            printf("%02X ", byte);
            collected += std::isprint(byte) ? static_cast<char>(byte) : ' ';
        }
        printf(" %s\n", collected.c_str());
    }
    printf("\n");
    fflush(stdout);
    return true;
}
