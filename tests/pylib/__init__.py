"""The harness of every Python suite (tests/bench-win, tests/cups), of the
benchmarks (bench/) and of the run script: everything they start is started
here and stopped by its own PID (cupsd, Xvfb, the programs) or by
`wineserver -k` on the run's own Wine prefix. Nothing is ever killed by
name, so other runs on the machine are safe.

Typical use in a unittest case:

    run = processes.new_run(self.addCleanup)     # temp folder, cleaned up
                                                 # (cls.addClassCleanup in setUpClass)
    cups = scheduler.start_cups(run)             # queues VELQ, Office, Label2
    env = wineprefix.new_prefix(run, cups)       # booted prefix copy, env dict
    gate = wineprefix.start_printgate(run, env)  # waits for 127.0.0.1:6780
    status, headers, body = httpapi.http("POST", "/vqapi/GetPrinters")

Virtual USB label printers for printerwatch (usb):

    usb.install_usb_bus(run, env)                # the bench's bus driver in the prefix
    printer = usb.plug_printer(env, block=usb.usb_block(8))
    pass_seconds = winservice.run_service_pass(env, "My Service")
    usb.unplug_printer(env, printer)

The modules: paths (source tree, builds, scratch space), processes (runs,
waiting, stopping by PID), scheduler (a private CUPS), wineprefix (Wine
prefixes and programs in them), installer (the MSI), httpapi (clients of
the API), workerpool (the server's pool held to its sizes), limits (those
sizes, from the C++), sockets, pages (served folders, headless Chromium),
browsers (headless Chromium and Firefox reporting through a loopback site),
publicsite (pages from a public https site, the browsers driven over their
automation channels),
x11 (Xvfb), namespaces (network namespaces), usb (virtual USB printers),
winservice (printerwatch as a Windows service, Wine's spooler), native (the
native printgate over CUPS), labels (label pictures, rendered jobs),
damaged_images (the table of cut and corrupted label images).

Import it with the tests folder on the path (CTest and the scripts'
prologue set PYTHONPATH): `from pylib import processes, scheduler`.
"""
