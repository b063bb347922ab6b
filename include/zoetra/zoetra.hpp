// <zoetra/zoetra.hpp>: the C++ interface, as hosts include it. The
// declarations live in component/zoetra.hpp, which hosts of earlier versions
// include.
#pragma once

#include "component/zoetra.hpp"
