#include "dicom/J2kCodec.h"

#include "core/AppError.h"
#include "dicom/DcmSupport.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace dicom {

namespace {

AppError j2kError(const QString &why) { return AppError(ErrorNo::Dicom, QStringLiteral("JPEG 2000: %1").arg(why)); }

bool isJ2k(E_TransferSyntax x) { return x == EXS_JPEG2000LosslessOnly || x == EXS_JPEG2000; }

// ---- OpenJPEG over memory ----------------------------------------------------------

struct MemoryIn {
    const OPJ_BYTE *data = nullptr;
    OPJ_SIZE_T size = 0;
    OPJ_SIZE_T pos = 0;
};

OPJ_SIZE_T readIn(void *buffer, OPJ_SIZE_T n, void *user)
{
    auto *s = static_cast<MemoryIn *>(user);
    if (s->pos >= s->size)
        return OPJ_SIZE_T(-1);
    n = std::min(n, s->size - s->pos);
    std::memcpy(buffer, s->data + s->pos, n);
    s->pos += n;
    return n;
}

OPJ_OFF_T skipIn(OPJ_OFF_T n, void *user)
{
    auto *s = static_cast<MemoryIn *>(user);
    if (n < 0)
        n = -std::min<OPJ_OFF_T>(-n, OPJ_OFF_T(s->pos));
    else
        n = std::min<OPJ_OFF_T>(n, OPJ_OFF_T(s->size - s->pos));
    s->pos = OPJ_SIZE_T(OPJ_OFF_T(s->pos) + n);
    return n;
}

OPJ_BOOL seekIn(OPJ_OFF_T n, void *user)
{
    auto *s = static_cast<MemoryIn *>(user);
    if (n < 0 || OPJ_SIZE_T(n) > s->size)
        return OPJ_FALSE;
    s->pos = OPJ_SIZE_T(n);
    return OPJ_TRUE;
}

struct MemoryOut {
    QByteArray bytes;
    qsizetype pos = 0;
};

OPJ_SIZE_T writeOut(void *buffer, OPJ_SIZE_T n, void *user)
{
    auto *s = static_cast<MemoryOut *>(user);
    if (s->pos + qsizetype(n) > s->bytes.size())
        s->bytes.resize(s->pos + qsizetype(n));
    std::memcpy(s->bytes.data() + s->pos, buffer, n);
    s->pos += qsizetype(n);
    return n;
}

OPJ_OFF_T skipOut(OPJ_OFF_T n, void *user)
{
    auto *s = static_cast<MemoryOut *>(user);
    s->pos = std::max<qsizetype>(0, s->pos + qsizetype(n));
    if (s->pos > s->bytes.size())
        s->bytes.resize(s->pos);
    return n;
}

OPJ_BOOL seekOut(OPJ_OFF_T n, void *user)
{
    auto *s = static_cast<MemoryOut *>(user);
    if (n < 0)
        return OPJ_FALSE;
    s->pos = qsizetype(n);
    if (s->pos > s->bytes.size())
        s->bytes.resize(s->pos);
    return OPJ_TRUE;
}

void keepMessage(const char *msg, void *user)
{
    if (user && msg && static_cast<QString *>(user)->isEmpty())
        *static_cast<QString *>(user) = QString::fromLatin1(msg).trimmed();
}

void ignoreMessage(const char *, void *) {}

struct CodecGuard {
    opj_codec_t *codec = nullptr;
    opj_stream_t *stream = nullptr;
    opj_image_t *image = nullptr;
    ~CodecGuard()
    {
        if (image)
            opj_image_destroy(image);
        if (stream)
            opj_stream_destroy(stream);
        if (codec)
            opj_destroy_codec(codec);
    }
};

// What the frame must look like once decoded, from the data set.
struct FrameShape {
    Uint16 rows = 0;
    Uint16 columns = 0;
    Uint16 samples = 1;
    Uint16 bitsAllocated = 16;
    Sint32 frames = 1;
    size_t bytes() const { return size_t(rows) * columns * samples * (bitsAllocated / 8); }
};

FrameShape shapeOf(DcmItem *ds)
{
    FrameShape f;
    ds->findAndGetUint16(DCM_Rows, f.rows);
    ds->findAndGetUint16(DCM_Columns, f.columns);
    ds->findAndGetUint16(DCM_SamplesPerPixel, f.samples);
    ds->findAndGetUint16(DCM_BitsAllocated, f.bitsAllocated);
    if (ds->findAndGetSint32(DCM_NumberOfFrames, f.frames).bad() || f.frames < 1)
        f.frames = 1;
    if (f.rows == 0 || f.columns == 0)
        throw j2kError(QStringLiteral("the image has no size"));
    if (f.bitsAllocated != 8 && f.bitsAllocated != 16)
        throw j2kError(QStringLiteral("%1 bits allocated are not supported").arg(f.bitsAllocated));
    if (f.samples != 1 && f.samples != 3)
        throw j2kError(QStringLiteral("%1 samples per pixel are not supported").arg(f.samples));
    return f;
}

// Decodes one code stream (raw or in a JP2 box) into buffer, interleaved, native order.
void decodeStream(const Uint8 *data, size_t size, const FrameShape &shape, void *buffer, size_t bufSize)
{
    if (size < 12)
        throw j2kError(QStringLiteral("the code stream is too short"));
    if (bufSize < shape.bytes())
        throw j2kError(QStringLiteral("the frame buffer is too small"));
    // A JP2 file starts with its signature box; a bare code stream with SOC + SIZ.
    static const Uint8 jp2Sig[] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
    const bool jp2 = std::memcmp(data, jp2Sig, sizeof jp2Sig) == 0;

    MemoryIn in{data, size, 0};
    CodecGuard g;
    g.codec = opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
    QString message;
    opj_set_error_handler(g.codec, keepMessage, &message);
    opj_set_warning_handler(g.codec, ignoreMessage, nullptr);
    opj_set_info_handler(g.codec, ignoreMessage, nullptr);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(g.codec, &params))
        throw j2kError(QStringLiteral("the decoder cannot be set up"));
    g.stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE);
    opj_stream_set_user_data(g.stream, &in, nullptr);
    opj_stream_set_user_data_length(g.stream, size);
    opj_stream_set_read_function(g.stream, readIn);
    opj_stream_set_skip_function(g.stream, skipIn);
    opj_stream_set_seek_function(g.stream, seekIn);
    if (!opj_read_header(g.stream, g.codec, &g.image) || !g.image)
        throw j2kError(QStringLiteral("the code stream header is damaged (%1)").arg(message));
    if (!opj_decode(g.codec, g.stream, g.image) || !opj_end_decompress(g.codec, g.stream))
        throw j2kError(QStringLiteral("the code stream cannot be decoded (%1)").arg(message));

    const opj_image_t *img = g.image;
    if (img->numcomps < shape.samples)
        throw j2kError(QStringLiteral("%1 components where the header names %2").arg(img->numcomps).arg(shape.samples));
    const size_t pixels = size_t(shape.rows) * shape.columns;
    for (Uint16 c = 0; c < shape.samples; ++c) {
        const opj_image_comp_t &comp = img->comps[c];
        if (comp.w != shape.columns || comp.h != shape.rows || comp.dx != 1 || comp.dy != 1 || !comp.data)
            throw j2kError(QStringLiteral("the code stream is %1 x %2, the header says %3 x %4")
                               .arg(comp.w)
                               .arg(comp.h)
                               .arg(shape.columns)
                               .arg(shape.rows));
    }
    const Uint16 spp = shape.samples;
    if (shape.bitsAllocated == 8) {
        auto *out = static_cast<Uint8 *>(buffer);
        for (Uint16 c = 0; c < spp; ++c) {
            const OPJ_INT32 *src = img->comps[c].data;
            for (size_t i = 0; i < pixels; ++i)
                out[i * spp + c] = Uint8(src[i]);
        }
    } else {
        auto *out = static_cast<Uint16 *>(buffer);
        for (Uint16 c = 0; c < spp; ++c) {
            const OPJ_INT32 *src = img->comps[c].data;
            if (spp == 1) {
                for (size_t i = 0; i < pixels; ++i)
                    out[i] = Uint16(src[i]); // signed values keep their two's complement bits
            } else {
                for (size_t i = 0; i < pixels; ++i)
                    out[i * spp + c] = Uint16(src[i]);
            }
        }
    }
}

// The fragments (item numbers, the offset table being item 0) of one frame.
std::pair<Uint32, Uint32> frameFragments(DcmPixelSequence *seq, Sint32 frames, Uint32 frameNo)
{
    const Uint32 items = Uint32(seq->card());
    if (items < 2)
        throw j2kError(QStringLiteral("the pixel data holds no fragments"));
    if (frameNo >= Uint32(frames))
        throw j2kError(QStringLiteral("frame %1 of %2 does not exist").arg(frameNo + 1).arg(frames));
    if (frames == 1)
        return {1, items - 1};
    if (items - 1 == Uint32(frames))
        return {frameNo + 1, frameNo + 1};
    // Frames of several fragments: each frame starts with a code stream's SOC and SIZ.
    std::vector<Uint32> starts;
    for (Uint32 i = 1; i < items; ++i) {
        DcmPixelItem *item = nullptr;
        Uint8 *data = nullptr;
        if (seq->getItem(item, i).good() && item && item->getLength() >= 4 && item->getUint8Array(data).good() && data
            && data[0] == 0xFF && data[1] == 0x4F && data[2] == 0xFF && data[3] == 0x51)
            starts.push_back(i);
    }
    if (starts.size() != size_t(frames))
        throw j2kError(QStringLiteral("the frames cannot be told apart in the pixel data"));
    const Uint32 last = frameNo + 1 < Uint32(frames) ? starts[frameNo + 1] - 1 : items - 1;
    return {starts[frameNo], last};
}

// The fragments of a frame as one code stream.
std::vector<Uint8> gatherFrame(DcmPixelSequence *seq, std::pair<Uint32, Uint32> range)
{
    std::vector<Uint8> out;
    for (Uint32 i = range.first; i <= range.second; ++i) {
        DcmPixelItem *item = nullptr;
        Uint8 *data = nullptr;
        if (seq->getItem(item, i).bad() || !item)
            throw j2kError(QStringLiteral("fragment %1 is missing").arg(i));
        const Uint32 len = item->getLength();
        if (len == 0)
            continue;
        if (item->getUint8Array(data).bad() || !data)
            throw j2kError(QStringLiteral("fragment %1 cannot be read").arg(i));
        out.insert(out.end(), data, data + len);
    }
    return out;
}

// The colour model after decoding: OpenJPEG undoes the component transform, so the
// JPEG 2000 colour models become RGB.
OFString decodedColourModel(DcmItem *ds)
{
    OFString pi;
    ds->findAndGetOFString(DCM_PhotometricInterpretation, pi);
    if (pi == "YBR_ICT" || pi == "YBR_RCT")
        return "RGB";
    return pi;
}

class RepParam : public DcmRepresentationParameter {
public:
    DcmRepresentationParameter *clone() const override { return new RepParam(*this); }
    const char *className() const override { return "CalvarexJ2kRepParam"; }
    OFBool operator==(const DcmRepresentationParameter &arg) const override
    {
        return std::strcmp(arg.className(), className()) == 0;
    }
};

class CodecParam : public DcmCodecParameter {
public:
    DcmCodecParameter *clone() const override { return new CodecParam(*this); }
    const char *className() const override { return "CalvarexJ2kCodecParam"; }
};

class J2kDecoder : public DcmCodec {
public:
    OFCondition decode(const DcmRepresentationParameter *, DcmPixelSequence *pixSeq,
                       DcmPolymorphOBOW &uncompressedPixelData, const DcmCodecParameter *, const DcmStack &objStack,
                       OFBool &) const override
    {
        DcmStack stack(objStack);
        (void)stack.pop(); // the pixel data element
        DcmObject *parent = stack.top();
        if (!pixSeq || !parent || (parent->ident() != EVR_dataset && parent->ident() != EVR_item))
            return EC_InvalidStream;
        auto *ds = static_cast<DcmItem *>(parent);
        try {
            const FrameShape shape = shapeOf(ds);
            const size_t frameBytes = shape.bytes();
            const size_t total = frameBytes * size_t(shape.frames);
            if (total > 0xFFFFFFF0u)
                return EC_TooManyBytesRequested;
            OFCondition c;
            void *buffer = nullptr;
            if (shape.bitsAllocated == 8) {
                Uint8 *p = nullptr;
                c = uncompressedPixelData.createUint8Array(Uint32(total + (total & 1)), p);
                buffer = p;
            } else {
                Uint16 *p = nullptr;
                c = uncompressedPixelData.createUint16Array(Uint32(total / 2), p);
                buffer = p;
            }
            if (c.bad() || !buffer)
                return c.bad() ? c : EC_MemoryExhausted;
            if (total & 1)
                static_cast<Uint8 *>(buffer)[total] = 0;
            for (Sint32 f = 0; f < shape.frames; ++f) {
                const std::vector<Uint8> stream = gatherFrame(pixSeq, frameFragments(pixSeq, shape.frames, Uint32(f)));
                decodeStream(stream.data(), stream.size(), shape, static_cast<Uint8 *>(buffer) + frameBytes * size_t(f),
                             frameBytes);
            }
            // Interleaved RGB from here on.
            if (shape.samples == 3) {
                ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
                ds->putAndInsertString(DCM_PhotometricInterpretation, decodedColourModel(ds).c_str());
            }
            return EC_Normal;
        } catch (const AppError &) {
            return EC_CannotChangeRepresentation;
        } catch (const std::bad_alloc &) {
            return EC_MemoryExhausted;
        }
    }

    OFCondition decodeFrame(const DcmRepresentationParameter *, DcmPixelSequence *fromPixSeq, const DcmCodecParameter *,
                            DcmItem *dataset, Uint32 frameNo, Uint32 &startFragment, void *buffer, Uint32 bufSize,
                            OFString &decompressedColorModel) const override
    {
        if (!fromPixSeq || !dataset || !buffer)
            return EC_IllegalCall;
        try {
            const FrameShape shape = shapeOf(dataset);
            const auto range = frameFragments(fromPixSeq, shape.frames, frameNo);
            const std::vector<Uint8> stream = gatherFrame(fromPixSeq, range);
            decodeStream(stream.data(), stream.size(), shape, buffer, bufSize);
            startFragment = range.second + 1;
            decompressedColorModel = decodedColourModel(dataset);
            return EC_Normal;
        } catch (const AppError &) {
            return EC_CannotChangeRepresentation;
        } catch (const std::bad_alloc &) {
            return EC_MemoryExhausted;
        }
    }

    // Decoding only: the station stores what it receives as it came.
    OFCondition encode(const Uint16 *, const Uint32, const DcmRepresentationParameter *, DcmPixelSequence *&,
                       const DcmCodecParameter *, DcmStack &, OFBool &) const override
    {
        return EC_IllegalCall;
    }
    OFCondition encode(const E_TransferSyntax, const DcmRepresentationParameter *, DcmPixelSequence *,
                       const DcmRepresentationParameter *, DcmPixelSequence *&, const DcmCodecParameter *, DcmStack &,
                       OFBool &) const override
    {
        return EC_IllegalCall;
    }

    OFBool canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const override
    {
        return isJ2k(oldRepType) && !DcmXfer(newRepType).isEncapsulated();
    }

    OFCondition determineDecompressedColorModel(const DcmRepresentationParameter *, DcmPixelSequence *,
                                                const DcmCodecParameter *, DcmItem *dataset,
                                                OFString &decompressedColorModel) const override
    {
        if (!dataset)
            return EC_IllegalCall;
        decompressedColorModel = decodedColourModel(dataset);
        return EC_Normal;
    }
};

} // namespace

void registerJ2kDecoder()
{
    // Registered once for the life of the process, like the toolkit's own decoders.
    static std::once_flag once;
    std::call_once(once, [] {
        static J2kDecoder decoder;
        static RepParam rep;
        static CodecParam param;
        DcmCodecList::registerCodec(&decoder, &rep, &param);
    });
}

QByteArray encodeJ2kLossless(const void *pixels, int width, int height, int bitsAllocated, int bitsStored,
                             bool isSigned)
{
    if (!pixels || width <= 0 || height <= 0 || (bitsAllocated != 8 && bitsAllocated != 16) || bitsStored < 1
        || bitsStored > bitsAllocated)
        throw j2kError(QStringLiteral("cannot encode a %1 x %2 image of %3/%4 bits")
                           .arg(width)
                           .arg(height)
                           .arg(bitsStored)
                           .arg(bitsAllocated));
    opj_image_cmptparm_t cp;
    std::memset(&cp, 0, sizeof cp);
    cp.dx = cp.dy = 1;
    cp.w = OPJ_UINT32(width);
    cp.h = OPJ_UINT32(height);
    cp.prec = OPJ_UINT32(bitsStored);
    cp.sgnd = isSigned ? 1 : 0;

    CodecGuard g;
    g.image = opj_image_create(1, &cp, OPJ_CLRSPC_GRAY);
    if (!g.image)
        throw j2kError(QStringLiteral("not enough memory"));
    g.image->x0 = g.image->y0 = 0;
    g.image->x1 = OPJ_UINT32(width);
    g.image->y1 = OPJ_UINT32(height);
    OPJ_INT32 *dst = g.image->comps[0].data;
    const size_t n = size_t(width) * size_t(height);
    const OPJ_INT32 mask = bitsStored >= 32 ? -1 : OPJ_INT32((1u << bitsStored) - 1);
    for (size_t i = 0; i < n; ++i) {
        OPJ_INT32 v =
            bitsAllocated == 8 ? static_cast<const Uint8 *>(pixels)[i] : static_cast<const Uint16 *>(pixels)[i];
        v &= mask;
        if (isSigned && bitsStored < 32 && (v & (OPJ_INT32(1) << (bitsStored - 1))))
            v -= OPJ_INT32(1) << bitsStored;
        dst[i] = v;
    }

    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = 0; // lossless
    params.cp_disto_alloc = 1;
    params.irreversible = 0;
    g.codec = opj_create_compress(OPJ_CODEC_J2K);
    QString message;
    opj_set_error_handler(g.codec, keepMessage, &message);
    opj_set_warning_handler(g.codec, ignoreMessage, nullptr);
    opj_set_info_handler(g.codec, ignoreMessage, nullptr);
    if (!opj_setup_encoder(g.codec, &params, g.image))
        throw j2kError(QStringLiteral("the encoder cannot be set up (%1)").arg(message));
    MemoryOut out;
    g.stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE);
    opj_stream_set_user_data(g.stream, &out, nullptr);
    opj_stream_set_write_function(g.stream, writeOut);
    opj_stream_set_skip_function(g.stream, skipOut);
    opj_stream_set_seek_function(g.stream, seekOut);
    if (!opj_start_compress(g.codec, g.image, g.stream) || !opj_encode(g.codec, g.stream)
        || !opj_end_compress(g.codec, g.stream))
        throw j2kError(QStringLiteral("encoding failed (%1)").arg(message));
    return out.bytes;
}

void writeJ2kLosslessCopy(const QString &source, const QString &target, QByteArray *codeStream)
{
    std::unique_ptr<DcmFileFormat> ff = loadFileFormat(source);
    DcmDataset *ds = ff->getDataset();
    const FrameShape shape = shapeOf(ds);
    if (shape.samples != 1 || shape.frames != 1)
        throw j2kError(QStringLiteral("only single-frame grey images are encoded"));
    Uint16 stored = shape.bitsAllocated, pixelRep = 0;
    ds->findAndGetUint16(DCM_BitsStored, stored);
    ds->findAndGetUint16(DCM_PixelRepresentation, pixelRep);
    if (ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
        throw j2kError(QStringLiteral("the pixel data of \"%1\" cannot be read").arg(source));
    const void *pixels = nullptr;
    OFCondition c;
    if (shape.bitsAllocated == 8) {
        const Uint8 *p = nullptr;
        c = ds->findAndGetUint8Array(DCM_PixelData, p);
        pixels = p;
    } else {
        const Uint16 *p = nullptr;
        c = ds->findAndGetUint16Array(DCM_PixelData, p);
        pixels = p;
    }
    if (c.bad() || !pixels)
        throw j2kError(QStringLiteral("\"%1\" holds no pixel data").arg(source));
    const QByteArray stream =
        encodeJ2kLossless(pixels, shape.columns, shape.rows, shape.bitsAllocated, stored, pixelRep == 1);
    if (codeStream)
        *codeStream = stream;

    auto *seq = new DcmPixelSequence(DcmTag(DCM_PixelData, EVR_OB));
    seq->insert(new DcmPixelItem(DcmTag(DCM_Item, EVR_OB))); // empty offset table
    auto *fragment = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
    QByteArray even = stream;
    if (even.size() & 1)
        even.append('\0');
    fragment->putUint8Array(reinterpret_cast<const Uint8 *>(even.constData()), Uint32(even.size()));
    seq->insert(fragment);
    auto *pd = new DcmPixelData(DCM_PixelData);
    pd->putOriginalRepresentation(EXS_JPEG2000LosslessOnly, nullptr, seq);
    ds->insert(pd, OFTrue);
    c = ff->saveFile(toFilename(target), EXS_JPEG2000LosslessOnly);
    if (c.bad())
        throw AppError(ErrorNo::FileIo,
                       QStringLiteral("Cannot write \"%1\": %2").arg(target, QString::fromLatin1(c.text())));
}
} // namespace dicom
