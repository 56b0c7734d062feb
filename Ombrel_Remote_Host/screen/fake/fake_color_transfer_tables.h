#pragma once

#include <atomic>
#include <memory>

#include "Ombrel_Remote_Host/screen/color_transfer_tables.h"

namespace ombrel {

// Counts what the privacy screen asks of the displays' tables.
class FakeColorTransferTables : public ColorTransferTables {
 public:
  struct Counts {
    std::atomic<int> blanks{0};
    std::atomic<int> restores{0};
  };

  explicit FakeColorTransferTables(std::shared_ptr<Counts> counts) : counts_(std::move(counts)) {}
  void blank() override { ++counts_->blanks; }
  void restore() override { ++counts_->restores; }

 private:
  std::shared_ptr<Counts> counts_;
};

}  // namespace ombrel
