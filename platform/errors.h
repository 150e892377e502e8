#pragma once

#include <stdexcept>

// Failures of the packet protocol. EData is the common base so a caller can catch every
// protocol failure at once; the leaves say which rule was broken.
class EData : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EDataIndexOutOfBounds : public EData {
 public:
  using EData::EData;
};

class EDecoderState : public EData {
 public:
  using EData::EData;
};

class EScheduler : public EData {
 public:
  using EData::EData;
};

// A value that does not fit the range its field or buffer can hold.
class ERangeError : public std::runtime_error {
 public:
  ERangeError() : std::runtime_error("Range check error") {}
  using std::runtime_error::runtime_error;
};
