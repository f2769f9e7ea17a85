// Private temporary folders for tests: their sockets, files and the
// directories of the programs they start. Never under the build tree, which
// can be deep: a Unix socket path holds at most 107 bytes.
#ifndef KTZTEST_TEMP_DIR_H
#define KTZTEST_TEMP_DIR_H

#include <string>

namespace ktztest
{

// Where private folders are made: $TMPDIR when it is an absolute path short
// enough for a folder and a socket name inside it, else /tmp.
std::string ShortTempBase();

// A folder made with mkdtemp under `base`, by default ShortTempBase()
// (under /tmp when that fails), removed with everything in it when the
// object goes. path() is "" only when no folder could be made at all.
class TempDir
{
  public:
    explicit TempDir(const std::string& base = "");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the folder.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

} // namespace ktztest

#endif
