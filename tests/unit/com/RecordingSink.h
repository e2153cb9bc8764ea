#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com/HResult.h"
#include "com/VirtualDiskEventSink.h"

// One event as a sink received it.
struct SinkCall {
  std::string sink;
  std::string event;  // "onEnumMounted" or "onImageIndexProgress"
  std::u16string mountTag;
  std::u16string imagePath;
  int32_t imagePartNumber = 0;
  double totalSectors = 0;
  double sectorsProcessed = 0;
};

// The events that several sinks received, in the order they came. Thread-safe.
class EventJournal {
 public:
  void add(SinkCall call) {
    const std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::vector<SinkCall> calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  // The names of the sinks called, in order.
  std::vector<std::string> sinks() {
    std::vector<std::string> names;
    for (const SinkCall& call : calls()) names.push_back(call.sink);
    return names;
  }

 private:
  std::mutex mutex_;
  std::vector<SinkCall> calls_;
};

// A sink that writes each event it receives into a journal and answers as
// the test scripts it: with `result`, or as a binding that could not build
// the arguments (and so never reached its client). `during` runs inside each
// call, before it is recorded.
class RecordingSink : public VirtualDiskEventSink {
 public:
  RecordingSink(std::string name, std::shared_ptr<EventJournal> journal)
      : name_(std::move(name)), journal_(std::move(journal)) {}

  int32_t result = HResult::Ok;
  bool argumentsFail = false;
  std::function<void()> during;

  Answer onEnumMounted(const std::u16string& mountTag, const std::u16string& imagePath) override {
    SinkCall call;
    call.event = "onEnumMounted";
    call.mountTag = mountTag;
    call.imagePath = imagePath;
    return record(std::move(call));
  }
  Answer onImageIndexProgress(int32_t imagePartNumber, double totalSectors, double sectorsProcessed) override {
    SinkCall call;
    call.event = "onImageIndexProgress";
    call.imagePartNumber = imagePartNumber;
    call.totalSectors = totalSectors;
    call.sectorsProcessed = sectorsProcessed;
    return record(std::move(call));
  }

 private:
  Answer record(SinkCall call) {
    if (argumentsFail) return Answer::argumentsNotBuilt(HResult::OutOfMemory);  // the client is never called
    if (during) during();
    call.sink = name_;
    journal_->add(std::move(call));
    return Answer::delivered(result);
  }

  std::string name_;
  std::shared_ptr<EventJournal> journal_;
};
