// Replays fuzz inputs through a target's entry point without libFuzzer, so
// the seed corpora and every crash that was fixed run as ordinary tests.
// Usage: <target>_replay FILE_OR_FOLDER...
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int replayFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string data = ss.str();
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int inputs = 0, failures = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "no such input: %s\n", argv[i]);
      return 1;
    }
    if (S_ISDIR(st.st_mode)) {
      DIR* dir = opendir(argv[i]);
      std::vector<std::string> names;
      while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') names.push_back(std::string(argv[i]) + "/" + e->d_name);
      }
      closedir(dir);
      for (const auto& n : names) {
        failures += replayFile(n);
        ++inputs;
      }
    } else {
      failures += replayFile(argv[i]);
      ++inputs;
    }
  }
  printf("replayed %d inputs\n", inputs);
  return failures == 0 && inputs > 0 ? 0 : 1;
}
