// The still-camera side of the bridge: stored pictures, the 8-byte command protocol through
// registers 0x19 and 0x21, data blocks for pipe 1, camera memory written through pipe 6 and
// the data port behind register 0x1F. Not locked: the Camera holds its lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

namespace nimbra::camsim {

// Command codes (command byte 1) and replies.
enum StillCommand : uint8_t {
    kCmdPictureCount = 0x50,  // reply: number of stored pictures
    kCmdPictureInfo = 0x51,   // byte 2: picture; reply 0xA8 and one 8,192-byte info block
    kCmdReadPicture = 0x52,   // byte 2: picture, bytes 5..7: length; reply 0xA8 and the data
    kCmdDeleteAll = 0x53,     // reply: 0x53
    kCmdAbort = 0x54,         // 0x54 between commands: drop the unread reply and data
    kCmdStoreMemory = 0x55,   // bytes 5..7: length; store camera memory from 0 as a picture
    kCmdTakePicture = 0x56,   // store a picture of the scene as it looks now
    kCmdStillMode = 0xB5,     // reply 0xB5 (the host moves to alternate 0 before it)
    kCmdVideoMode = 0xBA,     // reply 0xBA (the host moves to its streaming alternate before it)
};
inline constexpr uint8_t kReplyData = 0xA8;          // data follows on pipe 1
inline constexpr uint8_t kReplyUnknownCommand = 0xE0;
inline constexpr uint8_t kReplyNoPicture = 0xE1;
inline constexpr uint8_t kReplyBadPicture = 0xE2;
inline constexpr uint8_t kReplyMemoryFull = 0xE3;

inline constexpr size_t kStillBlockSize = 8192;
inline constexpr size_t kMaxStoredPictures = 32;
inline constexpr size_t kPortSize = 1024;  // data port: 256 addresses × 4

// Register 0x21 bits.
inline constexpr uint8_t kStatusBusy = 0x01;
inline constexpr uint8_t kStatusNoReply = 0x08;

struct StoredPicture {
    std::vector<uint8_t> jpeg;
    uint16_t width = 0;
    uint16_t height = 0;
};

class StillCamera {
public:
    // Makes a JPEG of the scene as it looks now; false when it cannot.
    using TakePicture = std::function<bool(std::vector<uint8_t>& jpeg)>;

    StillCamera(size_t memorySize, uint32_t busyQueries, uint32_t replyDelayQueries, TakePicture take);

    // Pictures. Add returns false for a stream that is not a decodable JPEG or a full memory.
    bool AddPicture(std::vector<uint8_t> jpeg);
    const std::vector<StoredPicture>& Pictures() const { return pictures_; }

    // Command protocol.
    void TakeCommandByte(uint8_t byte);  // a write of register 0x19
    uint8_t QueryStatus();               // a read of register 0x21: counts as one status query
    uint8_t PeekStatus() const;          // the same without counting
    uint8_t ReadReply();                 // a read of register 0x19: takes the reply
    std::vector<uint8_t> LastCommand() const { return lastCommand_; }

    // Data for pipe 1.
    size_t PendingData() const { return data_.size() - dataPos_; }
    size_t TakeData(std::span<uint8_t> out);

    // Memory writes: BeginMemoryWrite at the data phase, then WriteMemory per pipe 6 transfer.
    void ResetMemoryWrite() { memoryDone_ = false; }
    void BeginMemoryWrite(uint32_t address, uint32_t length);
    // False when no memory write is in its data phase (the transfer is refused).
    bool WriteMemory(std::span<const uint8_t> data);
    bool MemoryWriteDone() const { return memoryDone_; }
    std::span<const uint8_t> Memory() const { return memory_; }

    // Data port.
    void SetPortAddress(uint32_t address) { portCursor_ = address % kPortSize; }
    uint8_t ReadPort();
    void WritePort(uint8_t value);
    std::span<const uint8_t> Port() const { return port_; }
    void WritePortAt(uint32_t address, uint8_t value) { port_[address % kPortSize] = value; }

private:
    void Execute();
    void SetReply(uint8_t reply);
    void QueueData(std::vector<uint8_t> data);

    TakePicture take_;
    std::vector<StoredPicture> pictures_;
    uint32_t busyQueries_;
    uint32_t replyDelayQueries_;

    std::vector<uint8_t> command_;      // bytes of the command being received
    std::vector<uint8_t> lastCommand_;  // the last whole command
    uint32_t busyLeft_ = 0;             // status queries still showing busy
    bool replyPending_ = false;         // a reply exists (possibly not ready yet)
    uint32_t replyDelayLeft_ = 0;       // status queries before it is ready
    uint8_t reply_ = 0;

    std::vector<uint8_t> data_;
    size_t dataPos_ = 0;

    std::vector<uint8_t> memory_;
    bool memoryActive_ = false;
    bool memoryDone_ = false;
    uint32_t memoryAddress_ = 0;
    uint32_t memoryLeft_ = 0;

    std::vector<uint8_t> port_;
    uint32_t portCursor_ = 0;
};

}  // namespace nimbra::camsim
