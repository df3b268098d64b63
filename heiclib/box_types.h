// The four-character codes that the box model and the reader know, in one
// place: box types, item types, item and track reference types, and the
// codes found inside boxes (colour types, brands of the handler). Every box
// class takes its type from here and every child dispatch compares against
// these constants; no box source spells a code inline.
#pragma once

#include "heiclib/fourcc.h"

namespace ambrel::heif {

namespace boxtype {

// --- file level
constexpr FourCCInt kFtyp("ftyp");
constexpr FourCCInt kMeta("meta");
constexpr FourCCInt kMoov("moov");
constexpr FourCCInt kMdat("mdat");
constexpr FourCCInt kFree("free");
constexpr FourCCInt kSkip("skip");
constexpr FourCCInt kUuid("uuid");
constexpr FourCCInt kUdta("udta");
constexpr FourCCInt kMeco("meco");

// --- meta and its children
constexpr FourCCInt kHdlr("hdlr");
constexpr FourCCInt kPitm("pitm");
constexpr FourCCInt kDinf("dinf");
constexpr FourCCInt kDref("dref");
constexpr FourCCInt kUrl("url ");
constexpr FourCCInt kUrn("urn ");
constexpr FourCCInt kIloc("iloc");
constexpr FourCCInt kIdat("idat");
constexpr FourCCInt kIinf("iinf");
constexpr FourCCInt kInfe("infe");
constexpr FourCCInt kIref("iref");
constexpr FourCCInt kIprp("iprp");
constexpr FourCCInt kIpco("ipco");
constexpr FourCCInt kIpma("ipma");
constexpr FourCCInt kGrpl("grpl");
constexpr FourCCInt kIpro("ipro");

// --- item properties
constexpr FourCCInt kHvcC("hvcC");
constexpr FourCCInt kAvcC("avcC");
constexpr FourCCInt kLhvC("lhvC");
constexpr FourCCInt kIspe("ispe");
constexpr FourCCInt kIrot("irot");
constexpr FourCCInt kImir("imir");
constexpr FourCCInt kClap("clap");
constexpr FourCCInt kRloc("rloc");
constexpr FourCCInt kAuxC("auxC");
constexpr FourCCInt kLsel("lsel");
constexpr FourCCInt kTols("tols");
constexpr FourCCInt kOinf("oinf");
constexpr FourCCInt kColr("colr");
constexpr FourCCInt kPixi("pixi");
constexpr FourCCInt kAv1C("av1C");  // AV1 codec configuration
constexpr FourCCInt kJpgC("jpgC");  // JPEG prefix (headers shared by the image's JPEG data)
constexpr FourCCInt kUncC("uncC");  // uncompressed frame configuration (ISO/IEC 23001-17)
constexpr FourCCInt kCmpd("cmpd");  // component definitions (ISO/IEC 23001-17)
constexpr FourCCInt kCmpC("cmpC");  // generic compression configuration (ISO/IEC 23001-17)
constexpr FourCCInt kIcef("icef");  // generically compressed units (ISO/IEC 23001-17)

// --- movie, track and media
constexpr FourCCInt kMvhd("mvhd");
constexpr FourCCInt kTrak("trak");
constexpr FourCCInt kTkhd("tkhd");
constexpr FourCCInt kTref("tref");
constexpr FourCCInt kEdts("edts");
constexpr FourCCInt kElst("elst");
constexpr FourCCInt kMdia("mdia");
constexpr FourCCInt kMdhd("mdhd");
constexpr FourCCInt kMinf("minf");
constexpr FourCCInt kVmhd("vmhd");

// --- movie fragments
constexpr FourCCInt kMvex("mvex");
constexpr FourCCInt kMoof("moof");
constexpr FourCCInt kTraf("traf");

// --- sample tables and sample entries
constexpr FourCCInt kStbl("stbl");
constexpr FourCCInt kStsd("stsd");
constexpr FourCCInt kStts("stts");
constexpr FourCCInt kCtts("ctts");
constexpr FourCCInt kCslg("cslg");
constexpr FourCCInt kStsc("stsc");
constexpr FourCCInt kStsz("stsz");
constexpr FourCCInt kStco("stco");
constexpr FourCCInt kCo64("co64");
constexpr FourCCInt kStss("stss");
constexpr FourCCInt kSgpd("sgpd");
constexpr FourCCInt kSbgp("sbgp");
constexpr FourCCInt kCcst("ccst");
constexpr FourCCInt kHvc1("hvc1");  // also an item type
constexpr FourCCInt kHev1("hev1");
constexpr FourCCInt kAvc1("avc1");  // also an item type
constexpr FourCCInt kAv01("av01");  // also an item type

}  // namespace boxtype

// Item types of 'infe' version 2 and 3 entries.
namespace itemtype {

constexpr FourCCInt kHvc1("hvc1");
constexpr FourCCInt kAvc1("avc1");
constexpr FourCCInt kLhv1("lhv1");
constexpr FourCCInt kGrid("grid");
constexpr FourCCInt kIovl("iovl");
constexpr FourCCInt kIden("iden");
constexpr FourCCInt kExif("Exif");
constexpr FourCCInt kMime("mime");
constexpr FourCCInt kUri("uri ");
constexpr FourCCInt kJpeg("jpeg");
constexpr FourCCInt kHvt1("hvt1");
constexpr FourCCInt kAv01("av01");  // AV1 (AVIF)
constexpr FourCCInt kUnci("unci");  // uncompressed (ISO/IEC 23001-17)

}  // namespace itemtype

// Reference types of 'iref' children and of 'tref' children, and entity
// grouping types of 'grpl' children.
namespace reftype {

constexpr FourCCInt kDimg("dimg");
constexpr FourCCInt kThmb("thmb");
constexpr FourCCInt kCdsc("cdsc");
constexpr FourCCInt kAuxl("auxl");
constexpr FourCCInt kBase("base");
constexpr FourCCInt kIloc("iloc");
constexpr FourCCInt kTbas("tbas");
constexpr FourCCInt kAltr("altr");  // the default entity grouping type

}  // namespace reftype

// Codes held inside boxes rather than naming them.
namespace codetype {

constexpr FourCCInt kPict("pict");  // handler type of image items and image tracks
constexpr FourCCInt kNclx("nclx");  // 'colr' colour types
constexpr FourCCInt kProf("prof");
constexpr FourCCInt kRICC("rICC");
constexpr FourCCInt kFdel("fdel");  // 'infe' version 1 extension type
constexpr FourCCInt kRefs("refs");  // 'sgpd' grouping type of direct reference samples
constexpr FourCCInt kDefl("defl");  // 'cmpC' compression types: deflate, zlib, brotli
constexpr FourCCInt kZlib("zlib");
constexpr FourCCInt kBrot("brot");

}  // namespace codetype

}  // namespace ambrel::heif
