#include "platform/WorkerThread.h"

namespace qm {
namespace {
std::atomic<TWorkerThread::CreateThreadFn> g_createThread{&::CreateThread};
}  // namespace

void TWorkerThread::SetCreateThreadForTest(CreateThreadFn fn) noexcept {
  g_createThread = fn ? fn : &::CreateThread;
}

DWORD WINAPI TWorkerThread::ThreadProc(LPVOID param) {
  auto* self = static_cast<TWorkerThread*>(param);
  if (!self->Terminated()) {
    try {
      self->Execute();
    } catch (...) {
      // A worker's failure ends its body quietly.
    }
  }
  if (self->freeOnTerminate_) delete self;
  return 0;
}

bool TWorkerThread::Start() {
  DWORD flags = CREATE_SUSPENDED;
  if (stackReserve_ != 0) flags |= STACK_SIZE_PARAM_IS_A_RESERVATION;
  HANDLE h = g_createThread.load()(nullptr, stackReserve_, &ThreadProc, this, flags, nullptr);
  if (!h) return false;
  if (freeOnTerminate_) {
    // The body deletes the object: touch nothing of it once it may run.
    ::ResumeThread(h);
    ::CloseHandle(h);
  } else {
    thread_.reset(h);
    ::ResumeThread(h);
  }
  return true;
}

void TWorkerThread::WaitFor() {
  if (thread_) ::WaitForSingleObject(thread_.get(), INFINITE);
}

}  // namespace qm
