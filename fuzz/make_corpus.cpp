// Writes the fuzzers' seed corpora: libjpeg-turbo output of every kind the decoder accepts
// (grey; 1x1, 2x1, 1x2, 2x2; restarts; optimised tables; 16-bit quantisation; progressive),
// as whole files for fuzz_decode_file and as frames for fuzz_decode_frame.
#include <cstdio>
#include <string>

#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

void Write(const std::string& path, const Bytes& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_corpus FILE_DIR FRAME_DIR\n");
        return 2;
    }
    const std::string files = argv[1];
    const std::string frames = argv[2];
    struct Kind {
        const char* name;
        int width, height, components, h, v, restart, quality;
        bool optimize, progressive;
    } kinds[] = {
        {"grey", 33, 17, 1, 1, 1, 0, 75, false, false},     {"h1v1", 24, 16, 3, 1, 1, 0, 75, false, false},
        {"h2v1", 40, 24, 3, 2, 1, 0, 75, false, false},     {"h1v2", 24, 40, 3, 1, 2, 0, 75, false, false},
        {"h2v2", 17, 9, 3, 2, 2, 0, 75, false, false},      {"restart1", 48, 16, 3, 2, 1, 1, 75, false, false},
        {"restart7", 64, 32, 3, 2, 2, 7, 75, false, false}, {"optimized", 40, 24, 3, 2, 1, 0, 75, true, false},
        {"quant16", 32, 16, 3, 2, 1, 0, 8, false, false},   {"progressive", 40, 24, 3, 2, 1, 0, 75, true, true},
        {"progressive_grey", 17, 9, 1, 1, 1, 0, 75, true, true}, {"progressive_restart", 48, 32, 3, 2, 2, 3, 75, true, true},
        {"one_pixel", 1, 1, 3, 2, 1, 0, 75, false, false},
    };
    for (const auto& k : kinds) {
        EncodeOptions o;
        o.h = k.h;
        o.v = k.v;
        o.restartInterval = k.restart;
        o.quality = k.quality;
        o.forceBaseline = k.quality >= 25;
        o.optimize = k.optimize;
        o.progressive = k.progressive;
        const Bytes jpeg = Encode(MakeScene(k.width, k.height, k.components, 1, 3), o);
        Write(files + "/" + k.name + ".jpg", jpeg);
        Bytes frame(11, 0);  // selector 0: header length 0, then the camera's 10 bytes
        frame.insert(frame.end(), jpeg.begin(), jpeg.end());
        Write(frames + "/" + k.name + ".frame", frame);
    }
    // A camera payload behind the template (selector 1), small picture to keep runs fast.
    EncodeOptions camera;
    camera.quality = 50;
    const Bytes jpeg = Encode(MakeScene(64, 32, 3, 1, 5), camera);
    Bytes frame(11, 0);
    frame[0] = 1;
    const Bytes data = EntropyData(jpeg);
    frame.insert(frame.end(), data.begin(), data.end());
    Write(frames + "/camera.frame", frame);
    return 0;
}
