#include "archive/Progress.h"

#include "archive/msg.h"

void Progress::checkCancel() const {
    if (cancelled()) throw makeError("Tresmo.cancel");
}
