// Program entry: the main window, then the message loop until "退出".
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include "app/UMainFrm.h"
#include "input/UExternalInput.h"
#include "platform/Application.h"
#include "platform/MainThreadQueue.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCmd) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&icc);
  qm::TMainThreadQueue::Initialize();
  {
    qm::TMainFrm frm;
    if (!frm.Create()) return 1;
    frm.Show(showCmd);
    qm::TApplication::SetDialogWindow(frm.Handle());
    qm::TApplication::Run();
    qm::TApplication::SetDialogWindow(nullptr);
    frm.Destroy();
  }
  qm::TMainThreadQueue::Finalize();
  qm::EndDelivery();
  // Readers still serving connections end with the process.
  ::ExitProcess(0);
}
