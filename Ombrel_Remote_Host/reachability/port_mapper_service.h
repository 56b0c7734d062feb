#pragma once

// The controller's PortMappingService seam backed by the real PortMapper: its statuses become the
// controller's, with the texts the owner reads in the settings.

#include <memory>

#include "Ombrel_Remote_Host/controller/reachability_clients.h"
#include "Ombrel_Remote_Host/reachability/port_mapper.h"

namespace ombrel {

class PortMapperService final : public PortMappingService {
 public:
  PortMapperService(PortMapper::Endpoints endpoints, std::shared_ptr<Clock> clock);

  void update(bool enabled, std::uint16_t port) override;
  void networkChanged() override;
  void shutdown() override;

  static PortMappingStatus translate(const PortMapper::Status& status);

 private:
  std::unique_ptr<PortMapper> mapper_;
};

}  // namespace ombrel
