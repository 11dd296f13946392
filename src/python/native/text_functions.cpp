#include "native/py_support.h"

namespace quorl::native {

PyMethodDef kTextMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::native
