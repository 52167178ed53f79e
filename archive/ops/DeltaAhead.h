// The bases of a save's deltas, indexed ahead of their turn on a thread of their own.
//
// A delta first indexes its base: the base is decoded whole and every section of it hashed.
// The search that follows reads the new file and looks its sections up. With the next base
// indexed while the save searches against the one before (and the first while the save
// starts), the two overlap. At most one indexed base waits for its turn, so memory stays that
// of two deltas.
//
// Bases lie in the committed part of the archive, beyond which a save only appends, so they
// are read beside the save's writes. A base whose indexing failed keeps the failure for its
// turn, where the save meets it as it would have indexing the base itself. Where the system
// layer is not to be shared by threads, each base is indexed at its turn.
#pragma once

#include "archive/delta/DataImage.h"
#include "archive/ops/StgBase.h"
#include "archive/tree/TresmoData.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class StgFile;

class DeltaAhead {
  public:
    struct File {
        const Node* node;
        uint32_t pos;   // of the base's item
        uint32_t size;  // of the base's content
    };
    struct Image {
        std::unique_ptr<StgBase> base;
        std::unique_ptr<DataImage> image;  // reads base
    };
    // files: the files of the save that get a delta, in the order the save stores them.
    DeltaAhead(std::vector<File> files, StgFile& file);
    ~DeltaAhead();
    DeltaAhead(const DeltaAhead&) = delete;
    DeltaAhead& operator=(const DeltaAhead&) = delete;

    // The base at pos, of size bytes, of node's delta, indexed ahead or here. Throws what
    // reading the base failed with. Bases listed before node and not taken are given up.
    Image take(const Node* node, uint32_t pos, uint32_t size);

  private:
    enum class State { WAITING, INDEXING, DONE, OWN };
    struct Slot {
        File file{};
        State state = State::WAITING;
        bool skipped = false;  // its turn passed: what the thread makes of it is dropped
        Image image;
        std::exception_ptr failure;
    };
    Image index(uint32_t pos, uint32_t size);
    void loop();

    static constexpr size_t AHEAD = 1;  // indexed bases waiting for their turn

    StgFile& _file;
    std::vector<Slot> _slots;
    size_t _turn = 0;        // slots before it were taken or skipped
    size_t _next = 0;        // the next slot the thread looks at
    bool _indexing = false;  // the thread is indexing a slot
    bool _stopping = false;
    std::mutex _mutex;
    std::condition_variable _changed;  // a turn came, a slot was indexed, or the pool stops
    std::thread _thread;               // last: started once the rest is set up
};
