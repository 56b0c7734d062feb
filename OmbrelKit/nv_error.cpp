#include "OmbrelKit/nv_error.h"

namespace ombrel {

NVError::NVError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {
  description_ = errorDescription();
}

NVError NVError::system(std::error_code code) {
  NVError error(Kind::system, code.message());
  error.code_ = code;
  return error;
}

std::string NVError::errorDescription() const {
  switch (kind_) {
    case Kind::invalid:
      return payload_;
    case Kind::handshake:
      return "安全握手失敗：" + payload_;
    case Kind::truncated:
      return "資料不完整";
    case Kind::closed:
      return "連線已關閉";
    case Kind::crypto:
    case Kind::system:
      return payload_;
  }
  return payload_;
}

}  // namespace ombrel
