#include "ListCommand.h"

#include "DiskInspector.h"
#include "MountRecordReader.h"
#include "MountService.h"

ExitCode ListCommand::run() {
  BusFailure failure;
  const std::unique_ptr<MountService> service = MountService::connect(failure);
  MountService::Enumeration enumeration;
  if (service && !service->advise(failure)) {
    err_ << "vkbvd: the service will not name the image: " << failure.describe() << "\n";
  }
  if (!service || !service->enumMounted(enumeration, failure)) {
    err_ << "Cannot list the mounted image: " << failure.reason() << ".\n";
    return failure.exitCode();
  }
  if (enumeration.result != 0) {
    err_ << "The virtual-disk driver does not answer: whether an image is mounted cannot be told.\n";
    return ExitCode::DriverRefused;
  }
  if (enumeration.count == 0) {
    out_ << "nothing mounted\n";
    return ExitCode::Done;
  }
  if (enumeration.tag.empty()) {
    out_ << "an image is mounted (the service did not name it)\n";
  } else {
    // The service names the image only to its owner and root.
    out_ << enumeration.tag << ": " << (enumeration.image.empty() ? "(another user's image)" : enumeration.image)
         << "\n";
  }
  printRecord();
  return ExitCode::Done;
}

void ListCommand::printRecord() {
  MountRecord record;
  uint32_t error = 0;
  if (!MountRecordReader().read(record, error)) {
    err_ << "vkbvd: where the volume is cannot be told: the mount record cannot be read: "
         << MountRecordReader::describeError(error) << "\n";
  } else if (record.empty()) {
    out_ << "device: none yet (the volume has not turned up)\n";
  } else {
    DiskInspector().completeMountPoints(record);
    for (const std::string& line : record.describe()) out_ << line << "\n";
  }
}
