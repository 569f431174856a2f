#include "host_session.h"

#include <cstring>

namespace {

// A name too long for the field goes in cut and unterminated, as a host
// would hand it over; the driver refuses it.
void CopyName(const std::string& name, char* field, size_t size) {
  std::memcpy(field, name.data(), name.size() < size ? name.size() : size);
}

}  // namespace

HostSession::HostSession(QvoMainFunction entry) : entry_(entry) {
  QvoDriverInfo info{};
  Info(&info);
  const size_t size = info.channelSize > sizeof(QvoChannel) ? info.channelSize : sizeof(QvoChannel);
  channelStorage_.assign((size + 7) / 8, 0);
  channel_ = reinterpret_cast<QvoChannel*>(channelStorage_.data());
}

QvoStatus HostSession::Call(uint32_t opcode, void* params, int32_t lineNumber) {
  QvoRequest request{channel_, opcode, lineNumber, 0, params};
  return entry_(&request);
}

QvoStatus HostSession::Info(QvoDriverInfo* info) {
  QvoRequest request{nullptr, QVO_OP_DRIVER_INFO, 0, 0, info};
  return entry_(&request);
}

QvoStatus HostSession::Validate(const std::string& name, Point* point) {
  QvoPointAddress block{};
  block.name = name.c_str();
  const QvoStatus status = Call(QVO_OP_VALIDATE_POINT, &block);
  point->name = name;
  point->kind = block.pointKind;
  point->number = static_cast<uint32_t>(block.pointNumber);
  return status;
}

QvoStatus HostSession::CheckBlock(const std::string& name, int32_t count) {
  QvoPointAddress block{};
  block.name = name.c_str();
  block.valueCount = count;
  return Call(QVO_OP_CHECK_BLOCK_POINT, &block);
}

QvoStatus HostSession::Open(const LineOptions& options) {
  QvoOpenParams block{};
  CopyName(options.port, block.portName, sizeof block.portName);
  block.enable = 1;
  block.timeout = options.timeoutUnits;
  block.lineParams = options.line;
  return Call(QVO_OP_OPEN_CHANNEL, &block, options.lineNumber);
}

QvoStatus HostSession::Close() { return Call(QVO_OP_CLOSE_CHANNEL, nullptr); }
QvoStatus HostSession::Flush() { return Call(QVO_OP_FLUSH_INPUT, nullptr); }
QvoStatus HostSession::Reopen() { return Call(QVO_OP_REOPEN_CHANNEL, nullptr); }

QvoStatus HostSession::Reconfigure(const std::string& port, const LineParams& line) {
  QvoReconfigureParams block{};
  CopyName(port, block.portName, sizeof block.portName);
  block.lineParams = line;
  return Call(QVO_OP_RECONFIGURE_CHANNEL, &block);
}

QvoStatus HostSession::Transfer(uint32_t opcode, uint32_t kind, uint32_t number, int32_t count,
                                uint16_t* values) {
  QvoTransfer transfer{};
  transfer.pointKind = kind;
  transfer.pointNumber = number;
  transfer.valueCount = count;
  transfer.values = values;
  return Call(opcode, &transfer);
}

QvoStatus HostSession::Read(const Point& point, uint16_t* value) {
  uint16_t values[2] = {0, 0};  // single values travel at index 1
  const QvoStatus status = Transfer(QVO_OP_READ_VALUE, point.kind, point.number, 0, values);
  if (status == QVO_STATUS_OK) *value = values[1];
  return status;
}

QvoStatus HostSession::Write(const Point& point, uint16_t value) {
  uint16_t values[2] = {0, value};
  return Transfer(QVO_OP_WRITE_VALUE, point.kind, point.number, 0, values);
}

QvoStatus HostSession::ReadBlock(int32_t count, std::vector<uint16_t>* values) {
  values->assign(count > 0 ? static_cast<size_t>(count) : 1, 0);
  const QvoStatus status = Transfer(QVO_OP_READ_BLOCK, QVO_POINT_NUMBERED, 1, count, values->data());
  values->resize(count > 0 ? static_cast<size_t>(count) : 0);
  return status;
}

uint32_t WireCharacters(const Point& point, bool write) {
  if (point.kind == QVO_POINT_S) return write ? 15 + 15 : 17 + 21;
  return write ? 19 + 19 : 19 + 23;
}

uint32_t BlockWireCharacters(int32_t count) { return 15 + 2 * static_cast<uint32_t>(count) + 7; }
