#include "archive/codec/HCode.h"

#include <cstring>

HCode::HCode(int symBits)
    : _size(1 << symBits), _maxNodes(2 << symBits), _symBits(symBits), _tableBits(symBits + 2) {
    VERIFY(symBits >= 1 && symBits <= 8);
    reset();
    makeTables();
}

void HCode::reset() {
    _nodeCount = 0;
    for (int i = 0; i < _size; ++i)
        addNode();
    _root = 0;
}

int HCode::addNode() {
    if (_nodeCount >= _maxNodes) throw makeError("HCode.addNode");
    int k = _nodeCount++;
    _weight[k] = 0;
    _parent[k] = NONE;
    _child[k][0] = NONE;
    _child[k][1] = NONE;
    return k;
}

void HCode::build() {
    // The queue is kept in ascending weight order. A node goes in front of the first one whose
    // weight is greater or equal, so among equal weights the newest is taken first: this
    // decides the shape of the tree and with it every code word.
    uint16_t queue[256];
    int n = 0;
    auto insert = [&](uint16_t node) {
        int at = 0;
        while (at < n && _weight[queue[at]] < _weight[node])
            ++at;
        std::memmove(queue + at + 1, queue + at, (n - at) * sizeof(queue[0]));
        queue[at] = node;
        ++n;
    };
    _nodeCount = _size;
    for (int s = 0; s < _size; ++s) {
        _parent[s] = NONE;
        _child[s][0] = _child[s][1] = NONE;
        if (_weight[s] != 0) insert(static_cast<uint16_t>(s));
    }
    if (n == 0) insert(0);
    while (n >= 2) {
        uint16_t a = queue[0];
        uint16_t b = queue[1];
        n -= 2;
        std::memmove(queue, queue + 2, n * sizeof(queue[0]));
        int k = addNode();
        _weight[k] = _weight[a] + _weight[b];
        _child[k][0] = a;
        _child[k][1] = b;
        _parent[a] = _parent[b] = static_cast<uint16_t>(k);
        insert(static_cast<uint16_t>(k));
    }
    VERIFY(n == 1);
    _root = queue[0];
    _parent[_root] = NONE;
    makeTables();
}

void HCode::makeTables() {
    for (int s = 0; s < _size; ++s) {
        _code[s] = 0;
        _length[s] = 0;
    }
    int entries = 1 << _tableBits;
    if (_root < _size) {
        // A single leaf is written with no bits at all.
        uint16_t e = static_cast<uint16_t>(_root);
        for (int i = 0; i < entries; ++i)
            _fast[i] = e;
        return;
    }
    // Preorder walk with an explicit stack: trees read from a stream can be as deep as they
    // have nodes, so no recursion.
    struct Item {
        uint16_t node;
        uint16_t depth;
        uint32_t code;
    };
    Item stack[512];
    int top = 0;
    for (int bit = 1; bit >= 0; --bit)
        stack[top++] = {_child[_root][bit], 1, static_cast<uint32_t>(bit)};
    while (top > 0) {
        Item it = stack[--top];
        int d = it.depth;
        if (it.node < _size) {
            _code[it.node] = it.code;
            _length[it.node] = d;
            if (d < _tableBits) {
                uint16_t e = static_cast<uint16_t>(it.node | (d << 8));
                for (int i = 0; i < (1 << (_tableBits - d)); ++i)
                    _fast[it.code | (i << d)] = e;
            } else if (d == _tableBits) {
                _fast[it.code] = static_cast<uint16_t>(it.node | (d << 8));
            }
            continue;
        }
        if (d == _tableBits) _fast[it.code] = static_cast<uint16_t>(INTERNAL | it.node);
        // Only the first 30 branch bits are kept in the code word.
        for (int bit = 1; bit >= 0; --bit) {
            uint32_t code = it.code;
            if (d + 1 <= MAX_CODE_BITS) code |= static_cast<uint32_t>(bit) << d;
            stack[top++] = {_child[it.node][bit], static_cast<uint16_t>(d + 1), code};
        }
    }
}

void HCode::writeLong(int symbol) {
    _writer->put(_code[symbol], MAX_CODE_BITS);
    // The branches below depth 30, collected from the leaf upwards and written downwards.
    uint8_t bits[512];
    int n = _length[symbol] - MAX_CODE_BITS;
    int node = symbol;
    for (int i = n - 1; i >= 0; --i) {
        int parent = _parent[node];
        bits[i] = _child[parent][1] == node ? 1 : 0;
        node = parent;
    }
    for (int i = 0; i < n; ++i)
        _writer->put(bits[i], 1);
}

void HCode::writeTree() {
    if (_root < _size) {
        _writer->put(1, 1);
        _writer->put(static_cast<uint32_t>(_root), _symBits);
        return;
    }
    uint16_t stack[512];
    int top = 0;
    stack[top++] = static_cast<uint16_t>(_root);
    while (top > 0) {
        int node = stack[--top];
        if (node < _size) {
            _writer->put(1, 1);
            _writer->put(static_cast<uint32_t>(node), _symBits);
        } else {
            _writer->put(0, 1);
            stack[top++] = _child[node][1];
            stack[top++] = _child[node][0];
        }
    }
}

void HCode::readTree() {
    reset();
    readTreeNodes();
    makeTables();
}

void HCode::readTreeNodes() {
    BitReader& in = *_reader;
    if (in.read(1) == 1) {
        _root = static_cast<int>(in.read(_symBits));
        _weight[_root] = -1;
        return;
    }
    uint16_t path[512];
    int top = 0;
    _root = addNode();
    _weight[_root] = -1;
    path[top++] = static_cast<uint16_t>(_root);
    auto attach = [&](int node) {
        int parent = path[top - 1];
        _child[parent][_child[parent][0] == NONE ? 0 : 1] = static_cast<uint16_t>(node);
        _parent[node] = static_cast<uint16_t>(parent);
        _weight[node] = -1;
    };
    while (top > 0) {
        if (in.read(1) == 0) {
            int node = addNode();
            attach(node);
            path[top++] = static_cast<uint16_t>(node);
        } else {
            int symbol = static_cast<int>(in.read(_symBits));
            if (symbol >= _size || _weight[symbol] != 0)
                throw makeError("HCode.ReadTree.operator()");
            attach(symbol);
            while (top > 0 && _child[path[top - 1]][1] != NONE)
                --top;
        }
    }
}

int HCode::read() {
    BitReader& in = *_reader;
    in.fill(_tableBits);
    uint32_t index = in.bufferedBits() & ((uint32_t{1} << _tableBits) - 1);
    uint16_t e = _fast[index];
    if (!(e & INTERNAL)) {
        in.shift(e >> 8);
        return e & 0xFF;
    }
    in.shift(_tableBits);
    int node = e & ~INTERNAL;
    while (node >= _size)
        node = _child[node][in.read(1)];
    return node;
}

void HCode::costs(int64_t& fixed, int64_t& coded) const {
    // Bits of the symbols sent plain, and sent with the code: one bit per internal node of the
    // tree, and per used symbol its code bits plus the symbol and its leaf bit in the tree.
    fixed = 0;
    coded = _nodeCount - _size;
    for (int s = 0; s < _size; ++s) {
        if (_weight[s] <= 0) continue;
        fixed += int64_t{_weight[s]} * _symBits;
        coded += int64_t{_weight[s]} * _length[s] + _symBits + 1;
    }
}

double HCode::gain() const {
    int64_t fixed, coded;
    costs(fixed, coded);
    if (fixed == 0) return 0;
    return static_cast<double>(fixed - coded) * 100 / static_cast<double>(fixed);
}

bool HCode::pays() const {
    int64_t fixed, coded;
    costs(fixed, coded);
    // gain >= 2.5 percent, that is (fixed - coded) * 100 / fixed >= 2.5, without a division.
    return fixed > 0 && 40 * (fixed - coded) >= fixed;
}
