// "/create:" and "/format" through the built program, and the exports
// behind them.
#include <windows.h>

#include "FormatTestUtil.h"
#include "ProgramImage.h"
#include "app/ImageOperations.h"

namespace {

DWORD RunVro(const std::wstring& arguments) {
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(apptest::RunProgram(arguments, code)) << vt::Narrow(arguments);
  return code;
}

std::wstring Img(const std::wstring& path) {
  return L"\"-img:" + path + L"\" ";
}

TEST(BatchCreateFormat, CreatedImageTakesInjectAndExtract) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(
      0, vt::Sh("mkdir -p " + vt::Q(dir + "/in/Sub") + " && head -c 200000 /dev/urandom > " +
                vt::Q(dir + "/in/Sub/data.bin") + " && echo hello > " + vt::Q(dir + "/in/a.txt")));
  std::wstring image = vt::ToWin(dir + "/new.img");
  ASSERT_EQ(0u, RunVro(Img(image) + L"/create:256"));
  ASSERT_TRUE(vt::FileExists(image));
  EXPECT_EQ(0u, RunVro(Img(image) + L"-noupd \"/inject:\\Tree::" + vt::ToWin(dir + "/in") + L"\""));
  EXPECT_EQ(0u, RunVro(Img(image) + L"\"/extract:\\Tree::" + vt::ToWin(dir + "/out") + L"\""));
  std::string out;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(dir + "/in") + " " + vt::Q(dir + "/out"), &out)) << out;

  // "/format" empties the volume and leaves it mountable; the change goes
  // into the image itself with -noupd.
  EXPECT_EQ(0u, RunVro(Img(image) + L"-noupd /format"));
  EXPECT_EQ(DWORD(-12), RunVro(Img(image) + L"\"/extract:\\Tree\\a.txt::" +
                               vt::ToWin(dir + "/gone.txt") + L"\""));
  EXPECT_EQ(0u,
            RunVro(Img(image) + L"-noupd \"/inject:\\Again::" + vt::ToWin(dir + "/in") + L"\""));
  EXPECT_EQ(0u, RunVro(Img(image) + L"\"/extract:\\Again\\a.txt::" + vt::ToWin(dir + "/again.txt") +
                       L"\""));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/in/a.txt") + " " + vt::Q(dir + "/again.txt"), &out))
      << out;
}

TEST(BatchCreateFormat, MalformedSizesCreateNothing) {
  std::wstring image = vt::ScratchDir() + L"\\bad.img";
  for (const wchar_t* size : {L"0", L"-1", L"-100", L"abc", L"", L"12x", L"2000001", L"4294967297",
                              L"99999999999999999999"}) {
    EXPECT_EQ(DWORD(-13), RunVro(Img(image) + L"\"/create:" + size + L"\"")) << vt::Narrow(size);
    EXPECT_FALSE(vt::FileExists(image)) << vt::Narrow(size);
  }
  EXPECT_EQ(kImageBadArgument, ImageCreateDiskW(image.c_str(), 0));
  EXPECT_EQ(kImageBadArgument, ImageCreateDiskW(image.c_str(), 2000001));
  EXPECT_FALSE(vt::FileExists(image));
  EXPECT_EQ(kImageNotOpened, ImageFormatPartitionW(image.c_str(), L"", 0));
}

// A creation that runs out of host disk space leaves no half-made image.
TEST(BatchCreateFormat, AFullHostDiskLeavesNoImage) {
  std::string small = vt::ScratchDirUnix() + "/small";
  vt::SmallVolume volume(small, "2m");
  ASSERT_TRUE(volume.Mounted());
  std::wstring image = vt::ToWin(small + "/full.img");
  EXPECT_EQ(DWORD(kImageOperationFailed), RunVro(Img(image) + L"/create:1024"));
  EXPECT_FALSE(vt::FileExists(image));
}

}  // namespace
