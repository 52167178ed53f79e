// Records what the engine shows instead of printing it; installed for its lifetime.
#pragma once

#include "archive/support/msg.h"

#include <vector>

class RecordingPresenter : public Presenter {
  public:
    RecordingPresenter() { _previous = installPresenter(this); }
    ~RecordingPresenter() override { installPresenter(_previous); }
    RecordingPresenter(const RecordingPresenter&) = delete;
    RecordingPresenter& operator=(const RecordingPresenter&) = delete;

    void showError(const Error& e) override { errors.push_back(e); }
    void showMsgs(const MsgList& list) override {
        warnings.insert(warnings.end(), list.begin(), list.end());
    }
    void verifyFailed(const char*, int, const char*) override {}

    std::vector<Error> errors;
    MsgList warnings;

  private:
    Presenter* _previous;
};

// The code of the Error that f throws, 0 when it returns.
template <class F>
int codeOf(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.code;
    }
    return 0;
}
