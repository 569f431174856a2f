#include "qvotk_host/host_channel.h"

#include <cstring>

namespace {

// A name too long for the field goes in cut and unterminated, as a host
// would hand it over; the driver refuses it.
void CopyName(const std::string& name, char* field, size_t size) {
  std::memcpy(field, name.data(), name.size() < size ? name.size() : size);
}

}  // namespace

HostChannel::HostChannel(QvoMainFunction entry) : entry_(entry) {
  QvoDriverInfo info{};
  Info(&info);
  const size_t size = info.channelSize > sizeof(QvoChannel) ? info.channelSize : sizeof(QvoChannel);
  channelStorage_.assign((size + 7) / 8, 0);
  channel_ = reinterpret_cast<QvoChannel*>(channelStorage_.data());
}

QvoStatus HostChannel::Call(uint32_t opcode, void* params, int32_t lineNumber) {
  QvoRequest request{channel_, opcode, lineNumber, 0, params};
  return entry_(&request);
}

QvoStatus HostChannel::Info(QvoDriverInfo* info) {
  QvoRequest request{nullptr, QVO_OP_DRIVER_INFO, 0, 0, info};
  return entry_(&request);
}

QvoStatus HostChannel::Validate(const std::string& name, Point* point) {
  QvoPointAddress block{};
  block.name = name.c_str();
  const QvoStatus status = Call(QVO_OP_VALIDATE_POINT, &block);
  point->name = name;
  point->kind = block.pointKind;
  point->number = static_cast<uint32_t>(block.pointNumber);
  return status;
}

QvoStatus HostChannel::CheckBlock(const std::string& name, int32_t count) {
  QvoPointAddress block{};
  block.name = name.c_str();
  block.valueCount = count;
  return Call(QVO_OP_CHECK_BLOCK_POINT, &block);
}

QvoStatus HostChannel::Open(const LineOptions& options) {
  QvoOpenParams block{};
  CopyName(options.port, block.portName, sizeof block.portName);
  block.enable = 1;
  block.timeout = options.timeoutUnits;
  block.lineParams = options.line;
  return Call(QVO_OP_OPEN_CHANNEL, &block, options.lineNumber);
}

QvoStatus HostChannel::Close() { return Call(QVO_OP_CLOSE_CHANNEL, nullptr); }
QvoStatus HostChannel::Flush() { return Call(QVO_OP_FLUSH_INPUT, nullptr); }
QvoStatus HostChannel::Reopen() { return Call(QVO_OP_REOPEN_CHANNEL, nullptr); }

QvoStatus HostChannel::Reconfigure(const std::string& port, const LineParams& line) {
  QvoReconfigureParams block{};
  CopyName(port, block.portName, sizeof block.portName);
  block.lineParams = line;
  return Call(QVO_OP_RECONFIGURE_CHANNEL, &block);
}

QvoStatus HostChannel::Transfer(uint32_t opcode, uint32_t kind, uint32_t number, int32_t count,
                                uint16_t* values) {
  QvoTransfer transfer{};
  transfer.pointKind = kind;
  transfer.pointNumber = number;
  transfer.valueCount = count;
  transfer.values = values;
  return Call(opcode, &transfer);
}

QvoStatus HostChannel::Read(const Point& point, uint16_t* value) {
  uint16_t values[2] = {0, 0};  // single values travel at index 1
  const QvoStatus status = Transfer(QVO_OP_READ_VALUE, point.kind, point.number, 0, values);
  if (status == QVO_STATUS_OK) *value = values[1];
  return status;
}

QvoStatus HostChannel::Write(const Point& point, uint16_t value) {
  uint16_t values[2] = {0, value};
  return Transfer(QVO_OP_WRITE_VALUE, point.kind, point.number, 0, values);
}

QvoStatus HostChannel::ReadBlock(int32_t count, std::vector<uint16_t>* values) {
  values->assign(count > 0 ? static_cast<size_t>(count) : 1, 0);
  const QvoStatus status = Transfer(QVO_OP_READ_BLOCK, QVO_POINT_NUMBERED, 1, count, values->data());
  values->resize(count > 0 ? static_cast<size_t>(count) : 0);
  return status;
}
