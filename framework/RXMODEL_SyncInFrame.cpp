// The sync-in frame definition: its item sizes and the frame size.
#include "framework/RXMODEL_SyncInFrame.h"

namespace nivex {

SyncInFrameDef::SyncInFrameDef()
    : totalSize(0),
      headerKind(0),
      types(new unsigned short[kMaxItems]()),
      counts(new unsigned short[kMaxItems]()),
      itemCount(0),
      option(0) {}

SyncInFrameDef::~SyncInFrameDef() {
  delete[] types;
  delete[] counts;
}

unsigned int SyncInFrameDef::ItemSize(unsigned short type, unsigned short count) {
  switch (type) {
    case 0: case 1: case 2: case 3: case 9:
      return 2u * count;
    case 4: case 5: case 10: case 11:
      return 4u * count;
    case 6: case 7: case 8:
      return count / 8u + (count % 8u != 0 ? 1u : 0u);
    default:
      return 0;
  }
}

void SyncInFrameDef::CalculateTotalSize() {
  if (itemCount > kMaxItems) {  // more items than the arrays hold: refused
    itemCount = 0;
    totalSize = 0;
    return;
  }
  unsigned int total = (headerKind >= 1 && headerKind <= 3) ? 4u : 0u;
  for (unsigned int i = 0; i < itemCount; ++i) total += ItemSize(types[i], counts[i]);
  totalSize = total;
}

unsigned int SyncInFrameDef::GetTotalSize() const { return totalSize; }

int SyncInFrameDef::SetLayout(unsigned int header, const unsigned short* itemTypes,
                              const unsigned short* itemCounts, unsigned int n,
                              unsigned int opt) {
  if (n > kMaxItems) return 0;
  if (n > 0 && (itemTypes == nullptr || itemCounts == nullptr)) return 0;
  for (unsigned int i = 0; i < kMaxItems; ++i) {
    types[i] = i < n ? itemTypes[i] : 0;
    counts[i] = i < n ? itemCounts[i] : 0;
  }
  headerKind = header;
  itemCount = n;
  option = opt;
  CalculateTotalSize();
  return 1;
}

}  // namespace nivex
