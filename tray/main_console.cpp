// printgate as a console program: serves the API until the process ends.
#include "server/api_server.h"

int main() { return RunApiServer(); }
