// The PrintImage endpoint: for now answers the fixed JSON without storing.
#include "intake/print_image.h"

#include <cjson/cJSON.h>

#include "server/api_server.h"

void HandlePrintImage(const httplib::Request&, httplib::Response& res,
                      const httplib::ContentReader&) {
  SetCrossOriginHeaders(res);
  cJSON* root = cJSON_CreateObject();
  cJSON_AddStringToObject(root, "statusCode", "10001");
  cJSON_AddStringToObject(root, "resultInfo", "hahah");
  SetJsonBody(res, root);
}
