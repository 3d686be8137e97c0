// gtest entry for the client tests under Wine. A crash must end the process with a non-zero
// status: Wine may otherwise report 0 for a program that died of an access violation.
#include <windows.h>

#include <gtest/gtest.h>

namespace {
LONG WINAPI OnCrash(EXCEPTION_POINTERS*) {
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(OnCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
