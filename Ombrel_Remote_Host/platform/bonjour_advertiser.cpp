#include "Ombrel_Remote_Host/platform/bonjour_advertiser.h"

namespace ombrel {

std::string bonjourStatusText(BonjourState state, std::string_view detail) {
  switch (state) {
    case BonjourState::stopped:
      return "區域網路廣播已停止";
    case BonjourState::noDaemon:
      return "區域網路廣播無法使用：沒有執行中的 mDNS "
             "服務（avahi-daemon），附近裝置無法自動找到這台電腦";
    case BonjourState::registering:
      return "區域網路廣播準備中…";
    case BonjourState::advertising:
      return "區域網路廣播中：" + std::string(detail);
    case BonjourState::failed:
      return "區域網路廣播失敗：" + std::string(detail);
  }
  return {};
}

}  // namespace ombrel
