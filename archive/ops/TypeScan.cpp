#include "archive/ops/TypeScan.h"

#include "archive/scan/FileFinder.h"
#include "archive/support/Progress.h"

namespace {

class TypeScanner final : public FileFinder {
  public:
    TypeScanner(ScanFilter& filter, Progress& progress) : FileFinder(filter), _progress(progress) {}

  protected:
    void found(const char*, int64_t, uint16_t, int64_t) override {
        _progress.advance(1, 0);
        _progress.checkCancel();
    }

  private:
    Progress& _progress;
};

}  // namespace

std::vector<TypeStat> scanTypes(const FileSel& sel, Progress& progress) {
    ScanFilter filter(sel);
    TypeScanner(filter, progress).find();
    return filter.sortedTypes();
}
