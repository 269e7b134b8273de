// Still pictures, commands, memory and data port.
#include "host/camsim/still_camera.h"

#include <algorithm>
#include <cstring>

#include "host/camsim/jpeg_codec.h"

namespace nimbra::camsim {
namespace {

uint32_t Length24(const std::vector<uint8_t>& command)
{
    return command[5] | (command[6] << 8) | (static_cast<uint32_t>(command[7]) << 16);
}

size_t RoundUpToBlock(size_t n) { return (n + kStillBlockSize - 1) / kStillBlockSize * kStillBlockSize; }

}  // namespace

StillCamera::StillCamera(size_t memorySize, uint32_t busyQueries, uint32_t replyDelayQueries, TakePicture take)
    : take_(std::move(take)), busyQueries_(busyQueries), replyDelayQueries_(replyDelayQueries),
      memory_(memorySize, 0), port_(kPortSize, 0)
{
}

bool StillCamera::AddPicture(std::vector<uint8_t> jpeg)
{
    if (pictures_.size() >= kMaxStoredPictures) return false;
    RgbImage image;
    if (!DecodeJpeg(jpeg, image)) return false;
    StoredPicture picture;
    picture.jpeg = std::move(jpeg);
    picture.width = static_cast<uint16_t>(image.width);
    picture.height = static_cast<uint16_t>(image.height);
    pictures_.push_back(std::move(picture));
    return true;
}

void StillCamera::TakeCommandByte(uint8_t byte)
{
    if (command_.empty() && byte == kCmdAbort) {
        replyPending_ = false;
        data_.clear();
        dataPos_ = 0;
        return;
    }
    if (command_.empty()) replyPending_ = false;  // a new command drops an unread reply
    command_.push_back(byte);
    busyLeft_ = busyQueries_;
    if (command_.size() == 8) {
        lastCommand_ = command_;
        Execute();
        command_.clear();
    }
}

uint8_t StillCamera::PeekStatus() const
{
    uint8_t status = 0;
    if (busyLeft_ > 0) status |= kStatusBusy;
    if (!replyPending_ || replyDelayLeft_ > 0) status |= kStatusNoReply;
    return status;
}

uint8_t StillCamera::QueryStatus()
{
    const uint8_t status = PeekStatus();
    if (busyLeft_ > 0) --busyLeft_;
    else if (replyPending_ && replyDelayLeft_ > 0) --replyDelayLeft_;
    return status;
}

uint8_t StillCamera::ReadReply()
{
    if (!replyPending_ || replyDelayLeft_ > 0) return 0;
    replyPending_ = false;
    return reply_;
}

void StillCamera::SetReply(uint8_t reply)
{
    reply_ = reply;
    replyPending_ = true;
    replyDelayLeft_ = replyDelayQueries_;
}

void StillCamera::QueueData(std::vector<uint8_t> data)
{
    data_ = std::move(data);
    dataPos_ = 0;
}

size_t StillCamera::TakeData(std::span<uint8_t> out)
{
    const size_t n = std::min(out.size(), PendingData());
    std::memcpy(out.data(), data_.data() + dataPos_, n);
    dataPos_ += n;
    if (dataPos_ == data_.size()) {
        data_.clear();
        dataPos_ = 0;
    }
    return n;
}

void StillCamera::Execute()
{
    const std::vector<uint8_t>& c = command_;
    data_.clear();  // a new command replaces unread data
    dataPos_ = 0;
    const uint8_t index = c[2];
    switch (c[1]) {
    case kCmdPictureCount:
        SetReply(static_cast<uint8_t>(pictures_.size()));
        break;
    case kCmdPictureInfo: {
        if (index >= pictures_.size()) {
            SetReply(kReplyNoPicture);
            break;
        }
        const StoredPicture& p = pictures_[index];
        std::vector<uint8_t> block(kStillBlockSize, 0);
        const auto size = static_cast<uint32_t>(p.jpeg.size());
        block[0] = size & 0xFF;
        block[1] = (size >> 8) & 0xFF;
        block[2] = (size >> 16) & 0xFF;
        block[3] = (size >> 24) & 0xFF;
        block[4] = p.width & 0xFF;
        block[5] = p.width >> 8;
        block[6] = p.height & 0xFF;
        block[7] = p.height >> 8;
        QueueData(std::move(block));
        SetReply(kReplyData);
        break;
    }
    case kCmdReadPicture: {
        if (index >= pictures_.size()) {
            SetReply(kReplyNoPicture);
            break;
        }
        const StoredPicture& p = pictures_[index];
        const uint32_t asked = Length24(c);
        std::vector<uint8_t> data(RoundUpToBlock(asked ? asked : p.jpeg.size()), 0);
        std::memcpy(data.data(), p.jpeg.data(), std::min(data.size(), p.jpeg.size()));
        QueueData(std::move(data));
        SetReply(kReplyData);
        break;
    }
    case kCmdDeleteAll:
        pictures_.clear();
        SetReply(kCmdDeleteAll);
        break;
    case kCmdStoreMemory: {
        const uint32_t length = std::min<uint32_t>(Length24(c), static_cast<uint32_t>(memory_.size()));
        std::vector<uint8_t> jpeg(memory_.begin(), memory_.begin() + length);
        if (pictures_.size() >= kMaxStoredPictures) SetReply(kReplyMemoryFull);
        else SetReply(AddPicture(std::move(jpeg)) ? static_cast<uint8_t>(kCmdStoreMemory) : kReplyBadPicture);
        break;
    }
    case kCmdTakePicture: {
        std::vector<uint8_t> jpeg;
        if (pictures_.size() >= kMaxStoredPictures) SetReply(kReplyMemoryFull);
        else if (!take_ || !take_(jpeg) || !AddPicture(std::move(jpeg))) SetReply(kReplyBadPicture);
        else SetReply(kCmdTakePicture);
        break;
    }
    case kCmdStillMode:
    case kCmdVideoMode:
        SetReply(c[1]);
        break;
    default:
        SetReply(kReplyUnknownCommand);
        break;
    }
}

void StillCamera::BeginMemoryWrite(uint32_t address, uint32_t length)
{
    memoryAddress_ = address;
    memoryLeft_ = length;
    memoryActive_ = length > 0;
    memoryDone_ = length == 0;
}

bool StillCamera::WriteMemory(std::span<const uint8_t> data)
{
    if (!memoryActive_) return false;
    const size_t n = std::min<size_t>(data.size(), memoryLeft_);
    for (size_t i = 0; i < n; ++i) {
        const size_t at = static_cast<size_t>(memoryAddress_) + i;
        if (at < memory_.size()) memory_[at] = data[i];  // beyond the memory: dropped
    }
    memoryAddress_ += static_cast<uint32_t>(n);
    memoryLeft_ -= static_cast<uint32_t>(n);
    if (memoryLeft_ == 0) {
        memoryActive_ = false;
        memoryDone_ = true;
    }
    return true;
}

uint8_t StillCamera::ReadPort()
{
    const uint8_t v = port_[portCursor_];
    portCursor_ = (portCursor_ + 1) % kPortSize;
    return v;
}

void StillCamera::WritePort(uint8_t value)
{
    port_[portCursor_] = value;
    portCursor_ = (portCursor_ + 1) % kPortSize;
}

}  // namespace nimbra::camsim
