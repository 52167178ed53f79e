#include "archive/support/Progress.h"

#include "archive/support/msg.h"

void Progress::checkCancel() const {
    if (cancelled()) throw makeError("Tresmo.cancel");
}
