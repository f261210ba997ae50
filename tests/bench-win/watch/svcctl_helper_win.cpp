// Bench tool: sends one control to a service through ControlService (Wine's
// sc has no pause, continue or interrogate) and prints the state the SCM
// answers with. Usage: svcctl_helper <service> pause|continue|interrogate|stop|query
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: svcctl_helper <service> pause|continue|interrogate|stop|query\n");
    return 2;
  }
  struct {
    const char* word;
    DWORD control;
  } const controls[] = {{"pause", SERVICE_CONTROL_PAUSE},
                        {"continue", SERVICE_CONTROL_CONTINUE},
                        {"interrogate", SERVICE_CONTROL_INTERROGATE},
                        {"stop", SERVICE_CONTROL_STOP},
                        {"query", 0}};
  DWORD control = 0;
  bool known = false;
  for (const auto& entry : controls) {
    if (std::strcmp(argv[2], entry.word) == 0) {
      control = entry.control;
      known = true;
    }
  }
  if (!known) {
    std::printf("unknown control %s\n", argv[2]);
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    std::printf("OpenSCManager error=%lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceA(manager, argv[1],
                                   SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    std::printf("OpenService error=%lu\n", GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  SERVICE_STATUS status = {};
  BOOL ok = control == 0 ? QueryServiceStatus(service, &status) : ControlService(service, control, &status);
  DWORD error = ok ? 0 : GetLastError();
  std::printf("%s ok=%d error=%lu state=%lu accepted=%lu\n", argv[2], ok ? 1 : 0, error, status.dwCurrentState,
              status.dwControlsAccepted);
  std::fflush(stdout);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok ? 0 : 1;
}
