// The PrintImage endpoint: stores the posted label image and prints it.
#pragma once
#include <httplib.h>

// Handler of POST "/vqapi/PrintImage"; pulls the body through contentReader.
void HandlePrintImage(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& contentReader);
