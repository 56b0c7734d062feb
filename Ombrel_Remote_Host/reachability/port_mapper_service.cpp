#include "Ombrel_Remote_Host/reachability/port_mapper_service.h"

namespace ombrel {

PortMapperService::PortMapperService(PortMapper::Endpoints endpoints, std::shared_ptr<Clock> clock)
    : mapper_(std::make_unique<PortMapper>(std::move(endpoints), std::move(clock))) {
  // The controller sets onChange before its first update, and the mapper calls back only
  // after an update, so reading it from the mapper's queue is ordered after the write.
  mapper_->onChange = [this](const PortMapper::Status& status) {
    if (onChange) onChange(translate(status));
  };
}

void PortMapperService::update(bool enabled, std::uint16_t port) { mapper_->update(enabled, port); }

void PortMapperService::networkChanged() { mapper_->networkChanged(); }

void PortMapperService::shutdown() { mapper_->shutdown(); }

PortMappingStatus PortMapperService::translate(const PortMapper::Status& status) {
  using State = PortMappingStatus::State;
  switch (status.kind) {
    case PortMapper::Status::Kind::working:
      return {State::working, std::nullopt, "正在請路由器開埠…"};
    case PortMapper::Status::Kind::mapped:
      return {State::mapped, status.address, "外網直接連線：" + status.address};
    case PortMapper::Status::Kind::failed:
      return {State::failed, std::nullopt,
              "路由器沒有開埠（可能不支援，或前面還有一層網路），會繼續透過中繼連線"};
    case PortMapper::Status::Kind::off:
      break;
  }
  return {State::off, std::nullopt, ""};
}

}  // namespace ombrel
