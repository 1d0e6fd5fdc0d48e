// The sync-in frame definition: the layout of one frame of a sync-in scan.
#pragma once

namespace nivex {

// Layout of one sync-in frame: an optional 4-byte header, then up to 7 items, each a run of
// elements of one type.
class SyncInFrameDef {
 public:
  static constexpr unsigned int kMaxItems = 7;

  SyncInFrameDef();
  ~SyncInFrameDef();
  SyncInFrameDef(const SyncInFrameDef&) = delete;
  SyncInFrameDef& operator=(const SyncInFrameDef&) = delete;

  // Recomputes totalSize from headerKind and the items. A layout with more than kMaxItems
  // items is refused: it becomes empty (itemCount 0, totalSize 0).
  void CalculateTotalSize();
  unsigned int GetTotalSize() const;

  // Stores a whole layout at once and recomputes the size. Refuses (returns 0, nothing
  // changed) n > kMaxItems or null arrays with n > 0; 1 on success.
  int SetLayout(unsigned int header, const unsigned short* itemTypes,
                const unsigned short* itemCounts, unsigned int n, unsigned int opt);

  // Bytes one item of this type and element count takes in a frame.
  static unsigned int ItemSize(unsigned short type, unsigned short count);

  unsigned int totalSize;    // bytes per frame, as last computed
  unsigned int headerKind;   // 1, 2 or 3: 4-byte header
  unsigned short* types;     // kMaxItems entries, owned
  unsigned short* counts;    // kMaxItems entries, owned
  unsigned int itemCount;    // items in use, at most kMaxItems
  unsigned int option;       // bit 0: QZ_SYNCIN_ENABLE
};

}  // namespace nivex
