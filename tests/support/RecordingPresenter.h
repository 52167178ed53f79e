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
