#include "buffer/header_list.h"

namespace {
const int kInitialRecords = 50;
const int kInitialListRoom = 100;
const int kRecordsPerGrowth = 20;
const int kNameSize = 50;
const int kValueSize = 256;
}  // namespace

cHeaderPool::cHeaderPool(int count) : searchPos(0) {
  slots.Reserve(count);
  AddRecords(count, kNameSize, kValueSize);
}

cHeaderPool::~cHeaderPool() {
  for (int32_t i = 0; i < slots.Count(); ++i) {
    delete slots[i]->record;
    delete slots[i];
  }
}

bool cHeaderPool::AddRecords(int count, int nameSize, int valueSize) {
  for (int i = 0; i < count; ++i) {
    HeaderSlot* slot = new (std::nothrow) HeaderSlot;
    cHeaderLine* record = new (std::nothrow) cHeaderLine(nameSize, valueSize);
    if (slot == nullptr || record == nullptr || record->Name.Data == nullptr ||
        record->Value.Data == nullptr) {
      delete slot;
      delete record;
      return false;
    }
    slot->free = 1;
    slot->record = record;
    record->slot = slots.Count();
    if (!slots.Append(slot)) {
      delete slot;
      delete record;
      return false;
    }
  }
  return true;
}

cHeaderLine* cHeaderPool::TakeFirstFree() {
  searchPos = 0;
  for (int32_t i = 0; i < slots.Count(); ++i) {
    ++searchPos;
    if (slots[i]->free) {
      slots[i]->free = 0;
      return slots[i]->record;
    }
  }
  return nullptr;
}

cHeaderLine* cHeaderPool::NewHeaderLine() {
  // Successive messages walk through the pool one slot per line, so the
  // usual case takes the next slot without scanning.
  if (searchPos < slots.Count() - 1 && slots[searchPos]->free) {
    HeaderSlot* slot = slots[searchPos++];
    slot->free = 0;
    return slot->record;
  }
  cHeaderLine* record = TakeFirstFree();
  if (record != nullptr) return record;
  AddRecords(kRecordsPerGrowth, kNameSize, kValueSize);
  record = TakeFirstFree();
  if (record != nullptr) return record;
  fprintf(stdout, "NewHeaderLine, return NULL\n");
  return nullptr;
}

void cHeaderPool::Release(cHeaderLine* record) {
  int32_t i = record->slot;
  if (i >= 0 && i < slots.Count() && slots[i]->record == record) slots[i]->free = 1;
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
  for (int32_t i = 0; i < list.Count(); ++i) pool.Release(list[i]);
  list.RemoveAll();
}

void cHeaders::Dump(FILE* stream) const {
  fprintf(stream, "---- Dump Anfang cHeaders ----\n");
  fprintf(stream, "Anzahl Elemente: %ld\n", static_cast<long>(Count()));
  for (int32_t i = 0; i < list.Count(); ++i)
    fprintf(stream, "<%s> <%s>\n", list[i]->Name.Text(), list[i]->Value.Text());
  fprintf(stream, "---- Dump Ende cHeaders ----\n");
}
