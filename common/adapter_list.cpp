// The bounded adapter list read. Any thread.
#include "common/adapter_list.h"

namespace {

std::vector<std::uint64_t> ZeroedBuffer(ULONG bytes) {
  return std::vector<std::uint64_t>((static_cast<size_t>(bytes) + 7) / 8, 0);
}

}  // namespace

const IP_ADAPTER_ADDRESSES* AdapterList::First() const {
  if (status != NO_ERROR || storage.empty()) return nullptr;
  return reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(storage.data());
}

AdapterList QueryAdapterList(ULONG flags, AdapterQueryFunction query) {
  AdapterList list;
  ULONG size = kAdapterBufferInitial;
  list.storage = ZeroedBuffer(size);
  list.status = query(AF_UNSPEC, flags, nullptr,
                      reinterpret_cast<PIP_ADAPTER_ADDRESSES>(list.storage.data()), &size);
  if (list.status != ERROR_BUFFER_OVERFLOW) return list;
  if (size > kAdapterBufferLimit) {
    list.storage.clear();
    return list;
  }
  list.storage = ZeroedBuffer(size);
  list.status = query(AF_UNSPEC, flags, nullptr,
                      reinterpret_cast<PIP_ADAPTER_ADDRESSES>(list.storage.data()), &size);
  return list;
}
