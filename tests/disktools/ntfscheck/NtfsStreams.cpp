#include "NtfsStreams.h"

#include <algorithm>
#include <iterator>
#include <sstream>

#include "FormatTestUtil.h"

std::set<std::string> ReadNtfsStreams(const std::string& image, uint64_t start, uint64_t bytes,
                                      const std::string& mnt, bool fill) {
  std::string m = vt::Q(mnt);
  std::string fillFirst = fill ? "ntfs-3g $DEV " + m + " && { head -c " + std::to_string(bytes) +
                                     " /dev/urandom > " + vt::Q(mnt + "/fill.bin") + "; umount " +
                                     m + "; } && "
                               : "";
  std::string out;
  fmt::OnPartition(vt::ToWin(image), start, bytes,
                   fillFirst + "ntfs-3g -o ro $DEV " + m +
                       " && { python3 tests/fixtures/ntfs-streams.py " + m +
                       " | grep -v '  fill.bin$'; umount " + m +
                       "; echo \"$(ntfscat $DEV '$UpCase' | sha256sum | cut -c1-64)  $UpCase\"; }",
                   &out);
  std::set<std::string> lines;
  std::istringstream text(out);
  for (std::string line; std::getline(text, line);)
    if (line.size() > 66 && line[64] == ' ' && line.compare(0, 10, "unreadable"))
      lines.insert(line);
  return lines;
}

std::set<std::string> MissingStreams(const std::set<std::string>& want,
                                     const std::set<std::string>& have) {
  std::set<std::string> missing;
  std::set_difference(want.begin(), want.end(), have.begin(), have.end(),
                      std::inserter(missing, missing.end()));
  return missing;
}
