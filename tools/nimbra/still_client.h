// The still-camera application of `nimbra still`: the whole stack against the simulated camera,
// the device opened, and the camera's stored-picture operations made of the driver's private
// device-control requests. Every operation answers true or false; on false, Error() is one line
// naming the request and its status, or the command and the camera's reply.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/camsim/camera_config.h"
#include "host/stack/device_stack.h"
#include "host/streamclass/ks_client.h"

namespace nimbra::tool {

struct StillStackOptions {
    camsim::CameraConfig camera;
    bool paced = true;      // bus frames in real time, as the real bus
    std::string tracePath;  // usbmon pcap, when not empty
    bool debug = false;     // the driver's debug output on stderr
};

// What the camera's info block tells of a stored picture.
struct StillPictureInfo {
    uint32_t jpegBytes = 0;
    uint16_t width = 0;
    uint16_t height = 0;
};

class StillClient {
public:
    StillClient() = default;
    ~StillClient();  // Stop()
    StillClient(const StillClient&) = delete;
    StillClient& operator=(const StillClient&) = delete;

    // Builds the camera and the stack, starts the device and opens it. A camera or trace that
    // cannot be made is a usage fault (*usage set); a device that does not start is not.
    bool Start(const StillStackOptions& options, bool* usage);
    // Closes the device, stops it and unloads the driver, keeping the JPEGs the camera then holds
    // (HeldPictures). Safe to call twice.
    void Stop();
    // The camera's stored pictures as it held them at Stop(); false before any stack was built.
    bool HeldPictures(std::vector<std::vector<uint8_t>>* jpegs) const;

    // Command 0x50: the number of stored pictures.
    bool PictureCount(int* count);
    // Command 0x51 with a data read: the picture's info block.
    bool PictureInfo(int index, StillPictureInfo* info);
    // Command 0x52 with a data read of whole 8,192-byte blocks: the JPEG, its padding cut.
    bool ReadPicture(int index, uint32_t jpegBytes, std::vector<uint8_t>* jpeg);
    // Command 0x56: the camera stores a picture of its scene.
    bool TakePicture();
    // A memory write of the JPEG padded to whole 1,024-byte units, then command 0x55 with its
    // exact length.
    bool StorePicture(const std::vector<uint8_t>& jpeg);
    // Command 0x53.
    bool DeleteAll();
    // Opens the video pin at the size, runs it with reads pending and asks for a snapshot: the
    // delivered bytes of the next picture. *sizeNotOffered when the driver publishes no such size.
    bool Snapshot(int width, int height, std::vector<uint8_t>* picture, bool* sizeNotOffered);

    // The sizes the driver publishes, "640x480, ...".
    std::string OfferedSizes() const;
    const std::string& Error() const { return error_; }

private:
    // The 8-byte command block.
    static std::vector<uint8_t> CommandBlock(uint8_t code, uint8_t index, uint32_t length);
    // Command without reply, then read reply byte until the camera answers.
    bool CommandReply(const char* what, uint8_t code, uint8_t index, uint32_t length, uint8_t* reply);
    // A reply other than the one expected, as an error line.
    bool RefusedBy(const char* what, uint8_t code, uint8_t reply);
    // Command with data read: L bytes into *out.
    bool ReadCommand(const char* what, uint8_t code, uint8_t index, uint32_t length, std::vector<uint8_t>* out);
    bool Failed(const std::string& what, ULONG code, NTSTATUS status);

    std::unique_ptr<host::DeviceStack> stack_;
    host::KsHandle filter_;
    std::string error_;
    bool held_ = false;
    std::vector<std::vector<uint8_t>> heldPictures_;
};

}  // namespace nimbra::tool
