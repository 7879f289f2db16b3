// A heap's blocks in address order, walked through the public records of
// the memory manager, and the SVG map that draws them row by row.
#include "heap_map.h"

#include <algorithm>
#include <iterator>

#include "cli.h"

namespace okr_tool {

namespace {

// Layout of the map, in SVG pixels.
constexpr double kMapWidth = 1024;
constexpr double kLeft = 96;  // room for the row offsets
constexpr double kRowHeight = 7;
constexpr double kRowStep = 9;
constexpr uint64_t kMaxRows = 96;
constexpr int kTicks = 8;  // scale ticks per row

// Each kind's CSS class and legend label, in BlockKind's order.
struct KindStyle {
  const char* cssClass;
  const char* label;
};
constexpr KindStyle kKindStyles[] = {
    {"pool", "descriptor pool"},
    {"used", "in use"},
    {"locked", "in use, locked"},
    {"free", "free"},
};
static_assert(std::size(kKindStyles) == static_cast<size_t>(BlockKind::kFree) + 1);

const char* ClassOf(BlockKind kind) {
  return kKindStyles[static_cast<size_t>(kind)].cssClass;
}

const char* LabelOf(BlockKind kind) {
  return kKindStyles[static_cast<size_t>(kind)].label;
}

// A pool block holds descriptors; a locked client block has the same flags.
bool HoldsDescriptor(const std::vector<uintptr_t>& descs, const BlockDesc* d) {
  const auto first = reinterpret_cast<uintptr_t>(d->data);
  auto it = std::lower_bound(descs.begin(), descs.end(), first);
  return it != descs.end() && *it < first + d->blockSize;
}

BlockKind KindOf(const std::vector<uintptr_t>& descs, const BlockDesc* d) {
  if (d->flags == memFlagFree) return BlockKind::kFree;
  if (d->flags == memFlagPool && HoldsDescriptor(descs, d)) return BlockKind::kPool;
  return (d->flags & memFlagLocked) ? BlockKind::kLocked : BlockKind::kInUse;
}

bool Immovable(BlockKind kind) {
  return kind == BlockKind::kPool || kind == BlockKind::kLocked;
}

// For each block, the bytes of the free gap that it holds in place: a
// locked block (or pool) right behind a free one, or behind an unlocked
// block that follows a free one, which compaction leaves where it is.
std::vector<uint64_t> HeldGaps(const std::vector<BlockView>& blocks) {
  std::vector<uint64_t> held(blocks.size(), 0);
  for (size_t i = 0; i + 1 < blocks.size(); ++i) {
    if (blocks[i].kind != BlockKind::kFree) continue;
    if (Immovable(blocks[i + 1].kind)) {
      held[i + 1] += blocks[i].size;
    } else if (i + 2 < blocks.size() && blocks[i + 1].kind != BlockKind::kFree &&
               Immovable(blocks[i + 2].kind)) {
      held[i + 2] += blocks[i].size;
    }
  }
  return held;
}

// "16 KiB", "1 MiB", "512 bytes".
std::string SizeText(uint64_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Text(double x, double y, const std::string& text, const char* extra = "") {
  return Format("<text x=\"%.1f\" y=\"%.1f\"%s>%s</text>\n", x, y, extra, Escape(text).c_str());
}

// Draws pictures; `y` is where the next thing goes.
struct Canvas {
  uint64_t bytesPerRow;
  double y = 0;
  std::string body;

  double PixelsPer(uint64_t bytes) const {
    return kMapWidth * static_cast<double>(bytes) / static_cast<double>(bytesPerRow);
  }

  // The rectangles of the byte range [begin, end), one per row it touches;
  // the first carries `cls` and the title, the rest continue it as "more".
  void Range(double top, uint64_t begin, uint64_t end, const std::string& cls,
             const std::string& title) {
    for (uint64_t at = begin; at < end;) {
      const uint64_t row = at / bytesPerRow;
      const uint64_t rowEnd = std::min(end, (row + 1) * bytesPerRow);
      const std::string kind =
          at == begin ? cls : Format("more %s", cls.substr(cls.find(' ') + 1).c_str());
      body += Format("<rect class=\"%s\" x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\">",
                     kind.c_str(), kLeft + PixelsPer(at - row * bytesPerRow), top + row * kRowStep,
                     std::max(PixelsPer(rowEnd - at), 0.25), kRowHeight);
      body += "<title>" + Escape(title) + "</title></rect>\n";
      at = rowEnd;
    }
  }

  // Offsets along the top of a map.
  void Axis() {
    for (int t = 0; t <= kTicks; ++t) {
      const double x = kLeft + kMapWidth * t / kTicks;
      body += Format("<line class=\"tick\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", x,
                     y, x, y + 5);
      const std::string label = t == 0 ? "0" : SizeText(bytesPerRow * t / kTicks);
      body +=
          Text(x, y - 3, Format("+%s", label.c_str()), " text-anchor=\"middle\" class=\"small\"");
    }
    y += 8;
  }

  void Picture(const HeapPicture& p) {
    const std::vector<uint64_t> held = HeldGaps(p.blocks);
    const size_t holding = static_cast<size_t>(
        std::count_if(held.begin(), held.end(), [](uint64_t bytes) { return bytes != 0; }));
    body += Text(kLeft, y + 14,
                 Format("%s: %s: %s, %zu in use (%zu of them locked), %zu free; %s",
                        p.title.c_str(), Count(p.blocks.size(), "block").c_str(),
                        Count(CountBlocks(p, BlockKind::kPool), "pool").c_str(),
                        CountBlocks(p, BlockKind::kInUse) + CountBlocks(p, BlockKind::kLocked),
                        CountBlocks(p, BlockKind::kLocked), CountBlocks(p, BlockKind::kFree),
                        Count(holding, "block").c_str()) +
                     " holding a gap in place",
                 " class=\"heading\"");
    y += 40;
    Axis();
    const uint64_t rows = (p.span + bytesPerRow - 1) / bytesPerRow;
    for (uint64_t r = 0; r < rows; ++r) {
      if (r % 4 == 0) {
        body += Text(kLeft - 6, y + r * kRowStep + kRowHeight,
                     Format("0x%06llX", static_cast<unsigned long long>(r * bytesPerRow)),
                     " text-anchor=\"end\" class=\"small\"");
      }
    }
    Range(y, 0, p.headerSize, "header", "heap header");
    BlockKind previous = BlockKind::kFree;
    bool alternate = false;
    for (size_t i = 0; i < p.blocks.size(); ++i) {
      const BlockView& b = p.blocks[i];
      // Neighbours of one kind alternate in shade, so that each shows.
      alternate = i > 0 && b.kind == previous && !alternate;
      previous = b.kind;
      const std::string cls = std::string("block ") + ClassOf(b.kind) + (alternate ? " alt" : "") +
                              (held[i] != 0 ? " pin" : "");
      std::string title = Format("block %zu at +0x%llX: %llu bytes, %s", i,
                                 static_cast<unsigned long long>(b.offset),
                                 static_cast<unsigned long long>(b.size), LabelOf(b.kind));
      if (held[i] != 0) {
        title += Format("; holds a gap of %llu bytes in place",
                        static_cast<unsigned long long>(held[i]));
      }
      Range(y, b.offset, b.offset + b.size, cls, title);
    }
    y += rows * kRowStep + 24;
  }

  void Swatch(double x, const std::string& cls, const std::string& label) {
    body += Format("<rect class=\"legend %s\" x=\"%.1f\" y=\"%.1f\" width=\"14\" height=\"14\"/>\n",
                   cls.c_str(), x, y);
    body += Text(x + 20, y + 12, label);
  }

  void Legend() {
    const BlockKind kinds[] = {BlockKind::kPool, BlockKind::kInUse, BlockKind::kLocked,
                               BlockKind::kFree};
    double x = kLeft;
    for (BlockKind kind : kinds) {
      Swatch(x, ClassOf(kind), LabelOf(kind));
      x += 190;
    }
    y += 22;
    Swatch(kLeft, "header", "heap header");
    Swatch(kLeft + 190, "locked pin",
           "outlined: a locked block (or pool) that holds the free gap before it in place");
    y += 22;
    body += Text(kLeft, y + 10,
                 "Neighbouring blocks of one kind alternate in two shades. Descriptor pools hold "
                 "the blocks' descriptors (master pointers) and never move.",
                 " class=\"small\"");
    y += 24;
    // The scale: a bar of an eighth of a row, and what a row holds.
    const uint64_t barBytes = bytesPerRow / kTicks;
    body += Format("<rect class=\"scale\" x=\"%.1f\" y=\"%.1f\" width=\"%.2f\" height=\"6\"/>\n",
                   kLeft, y, PixelsPer(barBytes));
    body += Text(kLeft + PixelsPer(barBytes) + 8, y + 7,
                 Format("%s; each row is %s of the heap, in address order from the top left",
                        SizeText(barBytes).c_str(), SizeText(bytesPerRow).c_str()));
    y += 30;
  }
};

uint64_t RowBytesFor(uint64_t span) {
  uint64_t bytes = 1024;
  while (bytes * kMaxRows < span)
    bytes *= 2;
  return bytes;
}

// Free space is a light green, apart from the page's white; swatches and
// the header carry an outline so that each shows on its own.
const char* const kStyle =
    "<style>\n"
    "text{font:13px sans-serif;fill:#222}.small{font-size:11px;fill:#555}\n"
    ".title{font-size:18px;font-weight:bold}.heading{font-size:14px;font-weight:bold}\n"
    ".pool{fill:#7b3fa0}.pool.alt{fill:#9b62c0}.used{fill:#2f6fc4}.used.alt{fill:#6196dc}\n"
    ".locked{fill:#d9711c}.locked.alt{fill:#eda063}.free{fill:#bfe6c8}.free.alt{fill:#a6d9b2}\n"
    ".header{fill:#5f6b7a;stroke:#222;stroke-width:0.5}.legend{stroke:#222;stroke-width:0.5}\n"
    ".pin{stroke:#c4161c;stroke-width:1.5}.legend.pin{stroke-width:2}\n"
    ".scale{fill:#222}.tick{stroke:#888;stroke-width:1}\n"
    "rect:hover{stroke:#000;stroke-width:1}\n"
    "</style>\n";

}  // namespace

HeapPicture TakePicture(const Heap* heap, const std::string& title) {
  const auto base = reinterpret_cast<uintptr_t>(heap);
  std::vector<uintptr_t> descs;
  for (const BlockDesc* d = heap->firstBlock; d != nullptr; d = d->next) {
    descs.push_back(reinterpret_cast<uintptr_t>(d));
  }
  for (const BlockDesc* d = heap->freeMasters; d != nullptr; d = d->next) {
    descs.push_back(reinterpret_cast<uintptr_t>(d));
  }
  std::sort(descs.begin(), descs.end());
  HeapPicture picture{title, reinterpret_cast<uintptr_t>(heap->limit) - base, 0, {}};
  for (const BlockDesc* d = heap->firstBlock; d != nullptr; d = d->next) {
    // A block starts with its owner word, just before its data.
    const uintptr_t start = reinterpret_cast<uintptr_t>(d->data) - sizeof(MemWord);
    picture.blocks.push_back({start - base, d->blockSize, KindOf(descs, d)});
  }
  if (!picture.blocks.empty()) picture.headerSize = picture.blocks.front().offset;
  return picture;
}

size_t CountBlocks(const HeapPicture& picture, BlockKind kind) {
  return static_cast<size_t>(std::count_if(picture.blocks.begin(), picture.blocks.end(),
                                           [&](const BlockView& b) { return b.kind == kind; }));
}

std::string HeapSvg(const std::vector<HeapPicture>& pictures,
                    const std::vector<std::string>& summary) {
  uint64_t span = 0;
  for (const HeapPicture& p : pictures)
    span = std::max(span, p.span);
  Canvas canvas{RowBytesFor(span), 30, ""};
  canvas.body += Text(kLeft, canvas.y, "okr heap map", " class=\"title\"");
  canvas.y += 24;
  for (const std::string& line : summary) {
    canvas.body += Text(kLeft, canvas.y, line);
    canvas.y += 18;
  }
  canvas.y += 10;
  canvas.Legend();
  for (const HeapPicture& p : pictures)
    canvas.Picture(p);
  const double width = kLeft + kMapWidth + 30;
  return Format(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
             "viewBox=\"0 0 %.0f %.0f\">\n",
             width, canvas.y, width, canvas.y) +
         kStyle + "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n" + canvas.body +
         "</svg>\n";
}

}  // namespace okr_tool
