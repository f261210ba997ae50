// The service host: process shell, SCM connection, status reports, control
// handler, and the thread that runs the reconcile passes.
#pragma once

#include <cstdint>
#include <string>

// The service's name: the default until the SCM passes one to ServiceMain.
// It also names the settings key "SOFTWARE\<name>".
extern std::string szServiceName;

// Prepares the service and hands the calling thread to the SCM as its
// control dispatcher; returns once the service has stopped, or at once when
// there is no SCM to connect to.
void MyMain();

// Resets the status record and the exit event, and attaches the process to
// the interactive window station and desktop.
void InitService();

// The service main function: registers the handler and the USB printer
// events, runs the first pass, reports RUNNING, then runs one pass per batch
// of device events until STOP, and reports STOPPED.
void ServiceMain(uint32_t argc, char** argv);

// The extended control handler; answers every control with NO_ERROR.
uint32_t ServiceCtrlHandler(uint32_t dwControl, uint32_t dwEventType, void* lpEventData, void* lpContext);
