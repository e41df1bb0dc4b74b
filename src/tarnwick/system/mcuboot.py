"""What an MCUboot slot holds besides the image's own bytes, from the layout MCUboot documents:
the image header before it, the TLV area imgtool appends after it, and the image trailer at
the end of the slot.

The trailer, from its end: the 16-byte magic, padded to the maximum write alignment A (8 at
least, the flash's write size where that is larger); image_ok, copy_done, swap_info and
swap_size, each padded to A (only image_ok and copy_done in overwrite-only mode); and, for the
swap modes, the swap status: three entries of the write size for each of `max_sectors` sectors.

Where the image may end, by mode:
- swap using scratch, and overwrite only: right before the trailer (the scratch area carries
  a sector the image and the trailer share);
- swap using move: the image moves up one sector before the swap, so the sector after its
  last one must be free, and no sector of the trailer may hold image bytes: the trailer takes
  whole sectors and one more is kept spare;
- swap using offset: the update is written one sector into the secondary slot, and no sector
  of the trailer may hold image bytes: the trailer takes whole sectors, and the secondary
  slot loses its first sector.
A slot of more sectors than `max_sectors` cannot be swapped at all."""

from __future__ import annotations

from typing import NamedTuple, Optional

from tarnwick.support.records import record

MODES = ("swap-scratch", "swap-move", "swap-offset", "overwrite-only")
MAGIC_BYTES = 16
STATUS_ENTRIES_PER_SECTOR = 3
DEFAULT_MAX_ALIGN = 8
WRITE_SIZES = (1, 2, 4, 8, 16, 32)
TLV_INFO, TLV_HEADER = 4, 4
# The TLV area imgtool writes for a key type: its info header, the image's hash, the key's hash
# and the signature (ECDSA's DER signature is at most this long: 70 to 72 B for P-256).
_HASH = {"sha256": 32, "sha384": 48, "sha512": 64}
KEY_TYPES = {
    None: ("sha256", 0),
    "rsa-2048": ("sha256", 256),
    "rsa-3072": ("sha256", 384),
    "ecdsa-p256": ("sha256", 72),
    "ecdsa-p384": ("sha384", 104),
    "ed25519": ("sha256", 64),
}


def tlv_bytes(key: Optional[str]) -> int:
    """The TLV area of an image signed with a key of this type (None: unsigned, a hash only)."""
    digest, signature = KEY_TYPES[key]
    size = TLV_INFO + TLV_HEADER + _HASH[digest]
    if signature:
        size += TLV_HEADER + _HASH[digest] + TLV_HEADER + signature
    return size


def align_up(value: int, unit: int) -> int:
    return -(-value // unit) * unit


class Trailer(NamedTuple):
    status_bytes: int
    flag_bytes: int
    magic_bytes: int

    @property
    def total(self) -> int:
        return self.status_bytes + self.flag_bytes + self.magic_bytes


class SlotRoom(NamedTuple):
    """What a slot keeps from the image: the trailer, and the whole sectors a mode keeps."""

    trailer: int  # the trailer's own bytes
    reserved: int  # every byte at the slot's end (or start) no image byte may use, the trailer's included
    room: int  # the most the signed image (header, code, TLV area) may take
    sectors: int  # the slot's sectors
    why: str  # how `reserved` is made up, in words


@record(frozen=True)
class Mcuboot:
    mode: str
    write_size: int
    sector_size: int
    max_sectors: int = 128
    header_size: int = 0x200
    tlv_bytes: int = 40
    max_align: Optional[int] = None  # BOOT_MAX_ALIGN where it is set above the write size
    key: Optional[str] = None

    @property
    def alignment(self) -> int:
        return self.max_align if self.max_align is not None else max(DEFAULT_MAX_ALIGN, self.write_size)

    def trailer(self) -> Trailer:
        unit = self.alignment
        magic = align_up(MAGIC_BYTES, unit)
        if self.mode == "overwrite-only":
            return Trailer(0, 2 * unit, magic)
        return Trailer(STATUS_ENTRIES_PER_SECTOR * self.max_sectors * self.write_size, 4 * unit, magic)

    def slot(self, size: int, secondary: bool = False) -> SlotRoom:
        """The room a slot of `size` bytes leaves a signed image, as the primary or the secondary."""
        trailer = self.trailer().total
        sectors = size // self.sector_size
        if self.mode in ("swap-scratch", "overwrite-only"):
            return SlotRoom(trailer, trailer, size - trailer, sectors, f"trailer {trailer:,} B")
        whole = align_up(trailer, self.sector_size)
        spare = 0
        if self.mode == "swap-move" and not secondary:
            spare = self.sector_size
            why = f"trailer {trailer:,} B in whole sectors ({whole:,} B) and the sector kept for the move"
        elif self.mode == "swap-offset" and secondary:
            spare = self.sector_size
            why = f"trailer {trailer:,} B in whole sectors ({whole:,} B) and the first sector (the offset)"
        else:
            why = f"trailer {trailer:,} B in whole sectors ({whole:,} B)"
        # a slot's last partial sector (a size that is no multiple of the sector) is no whole sector either
        tail = size % self.sector_size
        reserved = whole + spare + tail
        if tail:
            why += f" and the {tail:,} B past its last whole sector"
        return SlotRoom(trailer, reserved, size - reserved, sectors, why)

    def signed_size(self, code_bytes: int, header_included: bool) -> int:
        """The signed image: header, code, TLV area. `header_included`: the code already starts
        with the header's room (linked at the slot's start, as Zephyr's ROM_START_OFFSET does)."""
        return (0 if header_included else self.header_size) + code_bytes + self.tlv_bytes
