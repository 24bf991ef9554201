// A frame producer in C++: 480x640 RGB frames (uint8) on a quillmere channel, with the
// channel's frame type recorded, so that a Python reader needs no dtype or shape:
//
//     reader = quillmere_tools.frames.FrameReader("/camera")
//
// Usage: frame_producer [NAME [FRAMES]]   (default "/camera", 30 frames). The channel lives as
// long as this process: it keeps it until its standard input closes (Ctrl-D).
#include <quillmere/quillmere.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kHeight = 480, kWidth = 640, kChannels = 3;
// quillmere_tools.frames's record: NumPy's descr of the dtype and the frame's shape, as JSON.
constexpr std::string_view kFrameType = R"({"descr":"|u1","shape":[480,640,3],"v":1})";

}  // namespace

int main(int argc, char** argv) {
  const std::string name = argc > 1 ? argv[1] : "/camera";
  const int frames = argc > 2 ? std::atoi(argv[2]) : 30;
  try {
    quillmere::Options options;
    options.entry_length = kHeight * kWidth * kChannels;  // bytes: a multiple of 8
    options.entry_count = 32;
    quillmere::Writer writer(name, quillmere::Kind::bytes, options);
    writer.set_frame_type(std::as_bytes(std::span(kFrameType)));  // before the first frame

    for (int frame = 0; frame < frames; ++frame) {
      auto slot = writer.try_acquire();  // filled in place: no copy
      if (!slot) return 1;               // only a deferred writer finds no channel
      auto pixels = slot->payload();
      for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::byte>((frame + i / (kWidth * kChannels)) % 256);
      slot->commit();
    }
    std::printf("wrote %d frames to %s\n", frames, name.c_str());
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
  } catch (const quillmere::Error& error) {
    std::fprintf(stderr, "quillmere: %s (%s)\n", error.what(), qm_status_name(error.code()));
    return 1;
  }
  return 0;
}
