#include "buffer/header_list.h"

#include <new>

namespace {
const int kInitialRecords = 50;
const int kInitialListRoom = 100;
const int kRecordsPerGrowth = 20;
const int kNameSize = 50;
const int kValueSize = 256;
}  // namespace

cHeaderPool::cHeaderPool(int count) {
  slots.Reserve(count);
  AddRecords(count, kNameSize, kValueSize);
}

cHeaderPool::~cHeaderPool() {
  for (int32_t i = 0; i < slots.Count(); ++i) {
    slots[i]->~cHeaderLine();
    free(slots[i]);
  }
}

bool cHeaderPool::AddRecords(int count, int nameSize, int valueSize) {
  for (int i = 0; i < count; ++i) {
    if (!slots.Room(slots.Count() + 1) || !free_.Room(slots.Count() + 1)) return false;
    void* room = platform::Allocate(sizeof(cHeaderLine));
    if (room == nullptr) return false;
    cHeaderLine* record = new (room) cHeaderLine(nameSize, valueSize);
    if (record->Name.Data == nullptr || record->Value.Data == nullptr) {
      record->~cHeaderLine();
      free(room);
      return false;
    }
    record->slot = slots.Count();
    slots.Append(record);
    free_.Append(record);
  }
  return true;
}

size_t cHeaderPool::Growth(const cHeaderLine& record) {
  size_t name = record.Name.Capacity > kNameSize ? static_cast<size_t>(record.Name.Capacity - kNameSize) : 0;
  size_t value =
      record.Value.Capacity > kValueSize ? static_cast<size_t>(record.Value.Capacity - kValueSize) : 0;
  return name + value;
}

cHeaderLine* cHeaderPool::NewHeaderLine() {
  if (free_.Count() == 0 && !AddRecords(kRecordsPerGrowth, kNameSize, kValueSize) &&
      free_.Count() == 0)
    return nullptr;
  cHeaderLine* record = free_.Pop();
  ++visits_;
  kept_ -= Growth(*record);
  record->free = 0;
  return record;
}

void cHeaderPool::Release(cHeaderLine* record) {
  int32_t i = record->slot;
  ++visits_;
  if (i < 0 || i >= slots.Count() || slots[i] != record || record->free) return;
  size_t growth = Growth(*record);
  if (kept_ + growth > kKeptGrowth) {
    // Blocks never shrink within a message; across messages a pool that
    // kept every block any line ever needed would grow without bound.
    record->Name.ShrinkTo(kNameSize);
    record->Value.ShrinkTo(kValueSize);
    growth = Growth(*record);
  }
  kept_ += growth;
  record->free = 1;
  free_.Append(record);  // never grows: it has room for every record
}

cHeaders::cHeaders() : pool(kInitialRecords) { list.Reserve(kInitialListRoom); }

cHeaders::~cHeaders() { Clear(); }

bool cHeaders::Add(const char* name, const char* value) {
  cHeaderLine* record = pool.NewHeaderLine();
  if (record == nullptr) return false;
  record->tight = false;
  if (!record->Name.Assign(name) || !record->Value.Assign(value) || !Append(record)) {
    pool.Release(record);
    return false;
  }
  return true;
}

void cHeaders::Clear() {
  // Backwards, so that the next message takes the same records in order.
  for (int32_t i = list.Count(); i-- > 0;) pool.Release(list[i]);
  list.RemoveAll();
}

void cHeaders::Dump(FILE* stream) const {
  fprintf(stream, "---- Dump Anfang cHeaders ----\n");
  fprintf(stream, "Anzahl Elemente: %ld\n", static_cast<long>(Count()));
  for (int32_t i = 0; i < list.Count(); ++i)
    fprintf(stream, "<%s> <%s>\n", list[i]->Name.Text(), list[i]->Value.Text());
  fprintf(stream, "---- Dump Ende cHeaders ----\n");
}
