// Test-only: writes small model files in the layout the runtime reads, so tests can run single
// operators with known weights. Objects are written front to back, children after parents,
// which keeps every stored offset positive as the format requires.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace talvex::vision::tflite::testing {

struct Node;
using NodePtr = std::shared_ptr<Node>;

struct Node {
  enum Kind { Table, Bytes, TableVector, String } kind = Table;
  // Table: field -> scalar bytes, or field -> child.
  std::map<int, std::vector<uint8_t>> scalars;
  std::map<int, NodePtr> children;
  // Bytes / String: the raw elements; TableVector: the tables.
  std::vector<uint8_t> bytes;
  uint32_t count = 0;
  std::vector<NodePtr> tables;
};

template <class T>
std::vector<uint8_t> scalarBytes(T v) {
  std::vector<uint8_t> b(sizeof(T));
  std::memcpy(b.data(), &v, sizeof(T));
  return b;
}

inline NodePtr table() { return std::make_shared<Node>(); }
template <class T>
NodePtr vec(const std::vector<T>& v) {
  auto n = std::make_shared<Node>();
  n->kind = Node::Bytes;
  n->count = static_cast<uint32_t>(v.size());
  n->bytes.resize(v.size() * sizeof(T));
  if (!v.empty()) std::memcpy(n->bytes.data(), v.data(), n->bytes.size());
  return n;
}
inline NodePtr str(const std::string& s) {
  auto n = std::make_shared<Node>();
  n->kind = Node::String;
  n->count = static_cast<uint32_t>(s.size());
  n->bytes.assign(s.begin(), s.end());
  n->bytes.push_back(0);
  return n;
}
inline NodePtr tables(std::vector<NodePtr> t) {
  auto n = std::make_shared<Node>();
  n->kind = Node::TableVector;
  n->count = static_cast<uint32_t>(t.size());
  n->tables = std::move(t);
  return n;
}

class Writer {
 public:
  std::vector<uint8_t> finish(const NodePtr& root) {
    buf_.assign(4, 0);
    size_t pos = write(root);
    put32(0, static_cast<uint32_t>(pos));
    return buf_;
  }

 private:
  void pad4() {
    while (buf_.size() % 4) buf_.push_back(0);
  }
  void put32(size_t at, uint32_t v) { std::memcpy(buf_.data() + at, &v, 4); }

  size_t write(const NodePtr& n) {
    pad4();
    if (n->kind == Node::Bytes || n->kind == Node::String) {
      size_t at = buf_.size();
      auto c = scalarBytes<uint32_t>(n->count);
      buf_.insert(buf_.end(), c.begin(), c.end());
      buf_.insert(buf_.end(), n->bytes.begin(), n->bytes.end());
      return at;
    }
    if (n->kind == Node::TableVector) {
      size_t at = buf_.size();
      auto c = scalarBytes<uint32_t>(n->count);
      buf_.insert(buf_.end(), c.begin(), c.end());
      size_t slots = buf_.size();
      buf_.resize(buf_.size() + 4 * n->tables.size());
      for (size_t i = 0; i < n->tables.size(); ++i) {
        size_t child = write(n->tables[i]);
        put32(slots + 4 * i, static_cast<uint32_t>(child - (slots + 4 * i)));
      }
      return at;
    }
    int maxField = -1;
    for (auto& [f, v] : n->scalars) maxField = std::max(maxField, f);
    for (auto& [f, v] : n->children) maxField = std::max(maxField, f);
    // Table body: soffset, then each field in 4- or 8-byte slots.
    std::map<int, uint16_t> offsets;
    std::vector<uint8_t> body(4, 0);
    for (auto& [f, v] : n->scalars) {
      while (body.size() % std::min<size_t>(v.size(), 4)) body.push_back(0);
      offsets[f] = static_cast<uint16_t>(body.size());
      body.insert(body.end(), v.begin(), v.end());
    }
    while (body.size() % 4) body.push_back(0);
    for (auto& [f, c] : n->children) {
      offsets[f] = static_cast<uint16_t>(body.size());
      body.resize(body.size() + 4);
    }
    const size_t vtable = buf_.size();
    const uint16_t vsize = static_cast<uint16_t>(4 + 2 * (maxField + 1));
    auto v16 = [&](uint16_t x) {
      buf_.push_back(static_cast<uint8_t>(x & 0xff));
      buf_.push_back(static_cast<uint8_t>(x >> 8));
    };
    v16(vsize);
    v16(static_cast<uint16_t>(body.size()));
    for (int f = 0; f <= maxField; ++f) v16(offsets.count(f) ? offsets[f] : 0);
    pad4();
    const size_t tablePos = buf_.size();
    int32_t soff = static_cast<int32_t>(tablePos - vtable);
    std::memcpy(body.data(), &soff, 4);
    buf_.insert(buf_.end(), body.begin(), body.end());
    for (auto& [f, c] : n->children) {
      size_t slot = tablePos + offsets[f];
      size_t child = write(c);
      put32(slot, static_cast<uint32_t>(child - slot));
    }
    return tablePos;
  }
  std::vector<uint8_t> buf_;
};

// A model of one subgraph, described plainly.
struct TestTensor {
  std::vector<int> shape;
  int type = 0;               // 0 float32, 1 float16, 2 int32
  std::vector<uint8_t> data;  // empty for activations
  std::string name;
};
struct TestOperator {
  int code = 0;
  std::string custom;
  std::vector<int> inputs, outputs;
  uint8_t optionsType = 0;
  NodePtr options;  // a table, or null
  std::vector<uint8_t> customOptions;
};
struct TestModel {
  std::vector<TestTensor> tensors;
  std::vector<TestOperator> operators;
  std::vector<int> inputs, outputs;

  int tensor(std::vector<int> shape, std::string name, int type = 0,
             std::vector<uint8_t> data = {}) {
    tensors.push_back({std::move(shape), type, std::move(data), std::move(name)});
    return static_cast<int>(tensors.size()) - 1;
  }
  template <class T>
  int constant(std::vector<int> shape, const std::vector<T>& values, std::string name, int type) {
    std::vector<uint8_t> d(values.size() * sizeof(T));
    std::memcpy(d.data(), values.data(), d.size());
    return tensor(std::move(shape), std::move(name), type, std::move(d));
  }

  std::vector<uint8_t> bytes() const {
    // Buffer 0 is the customary empty buffer.
    std::vector<NodePtr> buffers{table()};
    std::vector<NodePtr> tensorTables;
    for (const auto& t : tensors) {
      auto tt = table();
      tt->children[0] = vec(t.shape);
      tt->scalars[1] = scalarBytes<int8_t>(static_cast<int8_t>(t.type));
      uint32_t buffer = 0;
      if (!t.data.empty()) {
        auto b = table();
        b->children[0] = vec(t.data);
        buffers.push_back(b);
        buffer = static_cast<uint32_t>(buffers.size() - 1);
      }
      tt->scalars[2] = scalarBytes<uint32_t>(buffer);
      tt->children[3] = str(t.name);
      tensorTables.push_back(tt);
    }
    std::vector<NodePtr> codes, ops;
    std::map<std::pair<int, std::string>, uint32_t> codeIndex;
    for (const auto& o : operators) {
      auto key = std::make_pair(o.code, o.custom);
      if (!codeIndex.count(key)) {
        auto c = table();
        c->scalars[0] = scalarBytes<int8_t>(static_cast<int8_t>(std::min(o.code, 127)));
        if (!o.custom.empty()) c->children[1] = str(o.custom);
        c->scalars[3] = scalarBytes<int32_t>(o.code);
        codeIndex[key] = static_cast<uint32_t>(codes.size());
        codes.push_back(c);
      }
      auto ot = table();
      ot->scalars[0] = scalarBytes<uint32_t>(codeIndex[key]);
      ot->children[1] = vec(o.inputs);
      ot->children[2] = vec(o.outputs);
      if (o.options) {
        ot->scalars[3] = scalarBytes<uint8_t>(o.optionsType);
        ot->children[4] = o.options;
      }
      if (!o.customOptions.empty()) ot->children[5] = vec(o.customOptions);
      ops.push_back(ot);
    }
    auto sg = table();
    sg->children[0] = tables(tensorTables);
    sg->children[1] = vec(inputs);
    sg->children[2] = vec(outputs);
    sg->children[3] = tables(ops);
    auto model = table();
    model->scalars[0] = scalarBytes<uint32_t>(3);
    model->children[1] = tables(codes);
    model->children[2] = tables({sg});
    model->children[4] = tables(buffers);
    return Writer().finish(model);
  }
};

}  // namespace talvex::vision::tflite::testing
