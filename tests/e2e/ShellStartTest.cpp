#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;

TEST(ShellStart, FirstStartWritesTheDefaultsRegistersAndListens) {
  DeleteRunValue();
  TTempDir dir;
  TQuillmere app(dir);
  ASSERT_TRUE(app.Start());
  ASSERT_TRUE(app.WaitLogContains(L"已开始监听 TCP 端口 20222", 10000));
  EXPECT_EQ(ReadBytes(dir.File(L"config.ini")),
            "[Config]\r\nPort=20222\r\nAutoStart=1\r\nFocusX=0\r\nFocusY=0\r\n");
  const std::wstring quoted = L"\"" + app.ExePath() + L"\"";
  EXPECT_EQ(RunValue(), quoted);
  EXPECT_EQ(app.LogMessages(), (std::vector<std::wstring>{L"已写入开机自启：" + quoted, L"程序启动完成",
                                                          L"已开始监听 TCP 端口 20222"}));
  EXPECT_EQ(app.Text(0), L"Quillmere");
  EXPECT_EQ(app.Text(qm::kIdEdtPort), L"20222");
  EXPECT_TRUE(app.Checked(qm::kIdChkAutoStart));
  EXPECT_EQ(app.Text(qm::kIdLblStatus), L"监听中：TCP 端口 20222");
  EXPECT_EQ(app.Text(qm::kIdLblFocus), L"焦点坐标：未设置（点“拾取焦点”选择录入框位置）");
  EXPECT_TRUE(CanConnect(20222));
  app.Kill();
  DeleteRunValue();
}

}  // namespace
