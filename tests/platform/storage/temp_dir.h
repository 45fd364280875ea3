#ifndef TESTS_PLATFORM_STORAGE_TEMP_DIR_H
#define TESTS_PLATFORM_STORAGE_TEMP_DIR_H

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// A private folder under /tmp, removed with its content when the object goes away.
class Temp_Dir {
public:
  Temp_Dir()
  {
    char templ[] = "/tmp/t3-storage-XXXXXX";
    const char* p = ::mkdtemp(templ);
    path_ = p ? p : "";
  }
  ~Temp_Dir()
  {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  Temp_Dir(const Temp_Dir&) = delete;
  Temp_Dir& operator=(const Temp_Dir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  std::string url() const { return "file://" + path_; }

private:
  std::string path_;
};

inline bool file_exists(const std::string& path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

inline std::vector<unsigned char> read_file_bytes(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file_bytes(const std::string& path, const std::vector<unsigned char>& bytes)
{
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Names of the entries of a directory (without "." and ".."), sorted.
inline std::vector<std::string> list_dir(const std::string& dir)
{
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (struct dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

#endif
