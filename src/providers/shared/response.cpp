#include "providers/shared/response.hpp"

namespace dapplewick {

ResponseVerdict judgeResponse(const HTTPResponse& response) {
  if (!response.isHTTP) return ResponseVerdict::notHTTP;
  if (response.status == 401 || response.status == 403) return ResponseVerdict::unauthorized;
  if (response.status != 200) return ResponseVerdict::httpError;
  return ResponseVerdict::ok;
}

}  // namespace dapplewick
