// kolv_fill_cost_bench: what one grey frame's fill (every byte of a 1280x720 'BGRA' buffer set to
// 0x40 with one memset) costs the thread that does it, by how long the thread waited before it
// and by the memory it fills. The camera fills a shared-memory (memfd) stream buffer once a frame
// time, after a 33 ms wait; the other cases tell why that fill costs what it does. Cases are
// interleaved and rotated over rounds; the figure is thread CPU time per fill.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kFrameBytes = 1280 * 4 * 720;
constexpr std::size_t kHugePage = 2 << 20;

double threadMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// One mapping of a frame's bytes, unmapped with it.
class Mapping {
 public:
  Mapping(void* data, std::size_t size) : data_(static_cast<unsigned char*>(data)), size_(size) {}
  ~Mapping() {
    if (data_) munmap(data_, size_);
  }
  Mapping(Mapping&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(other.size_) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  Mapping& operator=(Mapping&&) = delete;
  unsigned char* data() const { return data_; }

 private:
  unsigned char* data_;
  std::size_t size_;
};

// A buffer as the camera's stream buffers are: a memfd mapped shared, 4 KiB pages.
Mapping sharedBuffer() {
  const int fd = memfd_create("kolv-fill-cost", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, kFrameBytes) != 0) {
    std::perror("kolv_fill_cost_bench: memfd");
    std::exit(1);
  }
  void* data = mmap(nullptr, kFrameBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (data == MAP_FAILED) std::perror("kolv_fill_cost_bench: mmap"), std::exit(1);
  std::memset(data, 0, kFrameBytes);
  return Mapping(data, kFrameBytes);
}

// Private memory in transparent huge pages where the kernel grants them (2 MiB aligned).
Mapping hugePageBuffer() {
  const std::size_t size = (kFrameBytes + kHugePage - 1) / kHugePage * kHugePage;
  void* data = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) std::perror("kolv_fill_cost_bench: mmap"), std::exit(1);
  auto* aligned =
      reinterpret_cast<unsigned char*>((reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1));
  // Keep only the aligned part mapped.
  if (aligned != data) munmap(data, static_cast<std::size_t>(aligned - static_cast<unsigned char*>(data)));
  munmap(aligned + size,
         static_cast<std::size_t>(static_cast<unsigned char*>(data) + size + kHugePage - (aligned + size)));
  madvise(aligned, size, MADV_HUGEPAGE);
  std::memset(aligned, 0, kFrameBytes);
  return Mapping(aligned, size);
}

enum class Wait { none, sleep1ms, sleep33ms, spin33ms };

struct Case {
  const char* name;
  Wait wait;
  std::vector<Mapping>* buffers;
  std::vector<double> fills{};
};

void waitBefore(Wait wait) {
  using namespace std::chrono;
  switch (wait) {
    case Wait::none:
      break;
    case Wait::sleep1ms:
      std::this_thread::sleep_for(1ms);
      break;
    case Wait::sleep33ms:
      std::this_thread::sleep_for(microseconds(33'333));
      break;
    case Wait::spin33ms: {
      const auto until = steady_clock::now() + microseconds(33'333);
      while (steady_clock::now() < until) {
      }
      break;
    }
  }
}

std::string firstLine(const char* path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line.empty() ? "(unreadable)" : line;
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

int usage(const char* program, int status) {
  std::fprintf(status ? stderr : stdout,
               "usage: %s [--rounds N] [--fills N]   (defaults: 5 rounds, 40 fills per case and round)\n"
               "The thread CPU time of one 1280x720 BGRA fill with 0x40 (one memset of 3.7 MB), by how\n"
               "long the thread waited before it (nothing, 1 ms, a frame time asleep or spinning) and by\n"
               "the memory (a shared memfd, one or four buffers in turn, or private huge pages). Cases\n"
               "are interleaved and rotated; prints the median and 90th percentile of each.\n",
               program);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  int fills = 40;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") return usage(argv[0], 0);
    if ((argument == "--rounds" || argument == "--fills") && i + 1 < argc) {
      const int value = std::atoi(argv[++i]);
      if (value < 1) return usage(argv[0], 2);
      (argument == "--rounds" ? rounds : fills) = value;
      continue;
    }
    return usage(argv[0], 2);
  }

  std::vector<Mapping> one;
  one.push_back(sharedBuffer());
  std::vector<Mapping> four;
  for (int i = 0; i < 4; ++i) four.push_back(sharedBuffer());
  std::vector<Mapping> huge;
  huge.push_back(hugePageBuffer());

  std::vector<Case> cases{
      {"memfd, 4 buffers in turn, after 33 ms asleep (the camera)", Wait::sleep33ms, &four},
      {"memfd, 1 buffer, after 33 ms asleep", Wait::sleep33ms, &one},
      {"memfd, 1 buffer, after 33 ms spinning", Wait::spin33ms, &one},
      {"memfd, 1 buffer, after 1 ms asleep", Wait::sleep1ms, &one},
      {"memfd, 1 buffer, at once (again and again)", Wait::none, &one},
      {"huge pages, 1 buffer, after 33 ms asleep", Wait::sleep33ms, &huge},
  };
  std::printf("fill of %zu bytes with 0x40; %d rounds of %d fills per case; shmem huge pages: %s\n", kFrameBytes,
              rounds, fills, firstLine("/sys/kernel/mm/transparent_hugepage/shmem_enabled").c_str());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < cases.size(); ++k) {
      Case& c = cases[(k + static_cast<std::size_t>(round)) % cases.size()];
      for (int i = 0; i < fills; ++i) {
        waitBefore(c.wait);
        unsigned char* data = (*c.buffers)[static_cast<std::size_t>(i) % c.buffers->size()].data();
        const double start = threadMicroseconds();
        std::memset(data, 0x40, kFrameBytes);
        c.fills.push_back(threadMicroseconds() - start);
      }
    }
    std::printf("round %d of %d done\n", round + 1, rounds);
    std::fflush(stdout);
  }
  const double camera = percentile(cases.front().fills, 0.5);
  std::printf("\n| case | median us | p90 us | median against the camera's case |\n|---|---|---|---|\n");
  for (const Case& c : cases) {
    const double median = percentile(c.fills, 0.5);
    std::printf("| %s | %.0f | %.0f | %.2f |\n", c.name, median, percentile(c.fills, 0.9), median / camera);
  }
  return 0;
}
