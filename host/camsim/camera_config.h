// How a simulated camera is built: its USB face, its scene, its still-picture memory and the
// timing of its command protocol. The defaults are the camera the driver was written for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nimbra::camsim {

// Endpoint addresses of interface 0, in the order the interface lists them (pipes 0..6).
inline constexpr uint8_t kEpVideoIso = 0x81;     // pipe 0: isochronous IN, video
inline constexpr uint8_t kEpVideoBulk = 0x82;    // pipe 1: bulk IN, video on alternate 0 and still data
inline constexpr uint8_t kEpReply = 0x83;        // pipe 2: bulk IN, 16-byte register replies
inline constexpr uint8_t kEpMessages = 0x04;     // pipe 3: bulk OUT, bridge messages
inline constexpr uint8_t kEpInterrupt = 0x85;    // pipe 4: interrupt IN, never has data
inline constexpr uint8_t kEpSpareOut = 0x06;     // pipe 5: bulk OUT, taken and ignored
inline constexpr uint8_t kEpMemoryWrite = 0x07;  // pipe 6: bulk OUT, camera memory data
inline constexpr uint8_t kPipeEndpoints[7] = {kEpVideoIso, kEpVideoBulk, kEpReply,      kEpMessages,
                                              kEpInterrupt, kEpSpareOut, kEpMemoryWrite};

// Our own identifiers, from the top of the vendor ID space (not any real vendor's).
inline constexpr uint16_t kCameraVendorId = 0xFFF1;
inline constexpr uint16_t kCameraProductId = 0x0640;

struct CameraConfig {
    uint16_t vendorId = kCameraVendorId;
    uint16_t productId = kCameraProductId;
    uint16_t bcdDevice = 0x0100;

    // wMaxPacketSize of pipe 0 per alternate setting; the count is the number of alternates.
    std::vector<uint16_t> isoPacketSizes = {0, 128, 256, 384, 512, 680, 800, 900, 1023};
    // bmAttributes of pipe 0 per alternate setting; missing entries are 0x01 (isochronous).
    std::vector<uint8_t> isoAttributes;
    // Alternate settings whose SET_INTERFACE the camera refuses with a STALL.
    std::vector<uint8_t> refusedAlternates;
    // Interfaces in the configuration; those after interface 0 have alternate 0 and no endpoints.
    uint8_t interfaceCount = 1;
    // When not empty, served as the configuration descriptor instead of the one built.
    std::vector<uint8_t> rawConfigDescriptor;

    // Built-in scene name or PNG/JPEG file (see Scene::Create).
    std::string scene = "orientation";
    // Exposure (sensor registers 3 and 4) at which the scene is delivered as it is.
    uint16_t unityExposure = 256;
    // Fewest bus frames (ms) from the start of one video frame to the start of the next; 0: none.
    uint32_t minFrameIntervalMs = 0;

    // Stored pictures at power-up: these JPEG files, then this many pictures the camera takes of
    // its own scene.
    std::vector<std::string> pictureFiles;
    int madePictures = 2;
    size_t memorySize = 4u << 20;  // camera memory for memory writes
    // Status queries (register 0x21) that show bit 0 (busy) after each command byte, and that
    // show bit 3 (no reply) after the last byte before the reply is ready.
    uint32_t commandBusyQueries = 1;
    uint32_t replyDelayQueries = 1;

    // Clock for the message log, any unit; default: steady_clock in 100 ns units.
    std::function<int64_t()> clock;
    // Called (without the camera's lock) when a test unplugs the camera.
    std::function<void()> onUnplug;
};

}  // namespace nimbra::camsim
