// Real hardware through libftdi1 when the vendor library is absent.
#pragma once

#include <memory>

#include "device/d2xx.h"

namespace zolt {

std::unique_ptr<D2xxDriver> MakeLibftdiDriver();

}  // namespace zolt
