#include "VlPdf.h"
#include "VlPdf_p.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLibrary>
#include <QList>
#include <QMutexLocker>
#include <QRecursiveMutex>

#include <cmath>
#include <limits>

#if defined(Q_OS_WIN) && !defined(Q_OS_WIN64)
#define VL_FPDF_CALL __stdcall
#else
#define VL_FPDF_CALL
#endif

// PDFium's configuration record, version 2 of its layout.
struct VlPdfLibraryConfig
{
    int version;
    const char **m_pUserFontPaths;
    void *m_pIsolate;
    unsigned int m_v8EmbedderSlot;
};

// PDFium's form-fill information record. Only the layout matters: every callback stays
// null, so the callbacks are declared as plain pointers. The fields of the later versions
// are kept (zeroed) so that the record is never shorter than what the renderer may read.
struct _FPDF_FORMFILLINFO
{
    int version;
    void *callbacksOfVersion1[15]; // Release ... FFI_DoGoToAction
    void *m_pJsPlatform;
    int xfa_disabled;
    void *callbacksOfVersion2[18]; // FFI_DisplayCaret ... FFI_DoURIActionWithKeyboardModifier
};

namespace Vela {

namespace {

const char *const LIBRARY_FOLDER = "pdfium";
#ifdef Q_OS_WIN
const char *const DEPENDENCY_NAMES[] = {"libc++.dll", "zlib.dll", "icuuc.dll"};
const char *const RENDERER_NAME = "pdfium.dll";
#else
const char *const DEPENDENCY_NAMES[] = {"libc++.so.1", "libz.so.1", "libicuuc.so"};
const char *const RENDERER_NAME = "libpdfium.so";
#endif

// PDFium's bitmap format whose bytes are B, G, R, A: QImage::Format_ARGB32 in memory on
// little-endian machines.
const int FPDFBITMAP_BGRA = 4;
// Draws annotations.
const int FPDF_ANNOT = 0x01;

// Truncates toward zero like a cast, but never overflows: an absurd scale must end as an
// image that cannot be allocated, not as undefined behaviour.
int truncatedSide(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (value <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(value);
}

QString &rendererPathOverride()
{
    static QString path;
    return path;
}

} // namespace

QString vlPdfRendererPath()
{
    if (!rendererPathOverride().isEmpty())
        return rendererPathOverride();
    QDir folder(QCoreApplication::applicationDirPath());
    const QString besideProgram = QDir(folder.absoluteFilePath(QLatin1String(LIBRARY_FOLDER)))
                                      .absoluteFilePath(QLatin1String(RENDERER_NAME));
#ifdef VELA_PDFIUM_PRIVATE_DIR
    // A copy beside the program wins, so that an application can ship the PDFium it was
    // tested with; otherwise the one the installed package brought.
    if (!QFileInfo::exists(besideProgram))
        return QDir(QStringLiteral(VELA_PDFIUM_PRIVATE_DIR))
            .absoluteFilePath(QLatin1String(RENDERER_NAME));
#endif
    return besideProgram;
}

void vlPdfSetRendererPath(const QString &path)
{
    rendererPathOverride() = path;
}

// PDFium and its runtime libraries, loaded once per process and never unloaded.
class VlPdf_Lib
{
public:
    VlPdf_Lib()
    {
        const QFileInfo rendererFile(vlPdfRendererPath());
        const QDir folder = rendererFile.absoluteDir();

        for (const char *name : DEPENDENCY_NAMES) {
            auto *library = new QLibrary(folder.absoluteFilePath(QLatin1String(name)));
            if (library->isLoaded() || !library->load()) {
                // Someone else's load stays theirs; a missing dependency is the renderer's
                // problem, which it reports by failing to load.
                delete library;
                continue;
            }
            dependencies.append(QSharedPointer<QLibrary>(library, &VlPdf::deleteLibrary));
        }

        auto *library = new QLibrary();
        library->setFileName(rendererFile.absoluteFilePath());
        library->load();
        renderer = QSharedPointer<QLibrary>(library);

        using InitLibraryWithConfig = void(VL_FPDF_CALL *)(const VlPdfLibraryConfig *);
        if (auto init = reinterpret_cast<InitLibraryWithConfig>(
                renderer->resolve("FPDF_InitLibraryWithConfig"))) {
            VlPdfLibraryConfig config = {2, nullptr, nullptr, 0};
            init(&config);
        }
    }

    static VlPdf_Lib *instance()
    {
        // Never destroyed: PDFium stays loaded and initialised until the process ends.
        static VlPdf_Lib *const lib = new VlPdf_Lib();
        return lib;
    }

    QSharedPointer<QLibrary> renderer;
    QList<QSharedPointer<QLibrary>> dependencies;
};

namespace {

// The one way this library reaches PDFium: resolve the entry point by name on every call
// and call it, or give the empty value when the renderer does not provide it.
template<typename Result, typename... Params> struct Entry
{
    using Function = Result(VL_FPDF_CALL *)(Params...);

    static Function resolve(const QSharedPointer<QLibrary> &library, const char *name)
    {
        return reinterpret_cast<Function>(library->resolve(name));
    }
};

} // namespace

void VlPdf::Image_Deleter::operator()(QImage *image) const
{
    delete image;
}

VlPdf::VlPdf(QObject *parent)
    : QObject(parent)
{
    init();
}

VlPdf::VlPdf(const QString &filePath, QObject *parent)
    : QObject(parent)
    , m_filePath(filePath)
{
    init();
}

VlPdf::~VlPdf()
{
    if (m_document) {
        // A destructor may run anywhere; the close still has to be serialised with every
        // other PDFium call. The lock is recursive, so a caller that holds it is fine.
        QMutexLocker locker(globalLocker());
        CloseDocument(m_document);
        m_document = nullptr;
    }
}

QRecursiveMutex *VlPdf::globalLocker()
{
    static QRecursiveMutex *const mutex = new QRecursiveMutex();
    return mutex;
}

QString VlPdf::getErrorMessage(unsigned long code)
{
    switch (code) {
    case 0:
        return tr("No error.");
    case 2:
        return tr("File not found or could not be opened.");
    case 3:
        return tr("File not in PDF format or corrupted.");
    case 4:
        return tr("Password required or incorrect password.");
    case 5:
        return tr("Unsupported security scheme.");
    case 6:
        return tr("Page not found or content error.");
    default:
        return tr("Unknown error.");
    }
}

bool VlPdf::isLibraryLoaded() const
{
    return pdfiumLib()->isLoaded();
}

unsigned long VlPdf::lastError() const
{
    return GetLastError();
}

bool VlPdf::open(const QString &filePath, const QString &password)
{
    m_filePath = filePath;
    if (m_document) {
        CloseDocument(m_document);
        m_document = nullptr;
    }
    // PDFium takes file paths as UTF-8 on every platform; the local 8-bit code page would
    // lose every character outside it.
    const QByteArray path = filePath.toUtf8();
    const QByteArray secret = password.toUtf8();
    m_document = LoadDocument(path.constData(), password.isEmpty() ? nullptr : secret.constData());
    return m_document != nullptr;
}

bool VlPdf::open()
{
    return open(filePath(), QString(""));
}

bool VlPdf::load(const std::shared_ptr<QByteArray> &data, const QString &password)
{
    if (!data)
        return false;
    // The document that may still read the old buffer goes before the buffer does.
    if (m_document) {
        CloseDocument(m_document);
        m_document = nullptr;
    }
    m_bytes = data;
    return load(m_bytes->constData(), m_bytes->size(), password);
}

bool VlPdf::load(const void *data, int size, const QString &password)
{
    if (m_document) {
        CloseDocument(m_document);
        m_document = nullptr;
    }
    const QByteArray secret = password.toUtf8();
    m_document = LoadMemDocument(data, size, password.isEmpty() ? nullptr : secret.constData());
    return m_document != nullptr;
}

int VlPdf::pageCount() const
{
    if (!m_document)
        return 0;
    return GetPageCount(m_document);
}

QSizeF VlPdf::pageSize(int pageIndex)
{
    if (!m_document)
        return {};
    fpdf_page_t__ *page = LoadPage(m_document, pageIndex);
    if (!page)
        return {};
    const QSizeF size(GetPageWidth(page), GetPageHeight(page));
    ClosePage(page);
    return size;
}

QSize VlPdf::fittedSize(double width, double height, const QSize &size) const
{
    QSize fitted(truncatedSide(width * m_scale), truncatedSide(height * m_scale));
    if (!size.isEmpty())
        fitted.scale(size, Qt::KeepAspectRatio);
    return fitted;
}

QSize VlPdf::renderSize(int pageIndex, const QSize &size)
{
    if (!m_document)
        return {};
    // Read from the page's dictionary: loading the page would parse all of its content, a
    // good part of the cost of drawing it.
    double width = 0.0;
    double height = 0.0;
    if (!GetPageSizeByIndex(m_document, pageIndex, &width, &height))
        return {};
    return fittedSize(width, height, size);
}

quint64 VlPdf::renderBytes(const QSize &pixels)
{
    if (pixels.isEmpty())
        return 0;
    // Format_ARGB32 lines need no padding. Both sides are below 2^31, so the product fits.
    return quint64(pixels.width()) * quint64(pixels.height()) * 4;
}

std::unique_ptr<QImage, VlPdf::Image_Deleter> VlPdf::render(int pageIndex, const QSize &size)
{
    if (!m_document)
        return {};
    fpdf_page_t__ *page = LoadPage(m_document, pageIndex);
    if (!page)
        return {};
    std::unique_ptr<QImage, Image_Deleter> image
        = render(page, fittedSize(GetPageWidth(page), GetPageHeight(page), size));
    ClosePage(page);
    return image;
}

std::unique_ptr<QImage, VlPdf::Image_Deleter> VlPdf::render(fpdf_page_t__ *page, const QSize &size)
{
    if (!page)
        return {};
    const int w = size.width();
    const int h = size.height();

    std::unique_ptr<QImage, Image_Deleter> image(new QImage(w, h, QImage::Format_ARGB32));
    // An empty or unallocatable size gives a null image. PDFium must not see it: given a null
    // buffer it would allocate a bitmap of that size itself.
    if (image->isNull())
        return image;
    image->fill(Qt::transparent);
    draw(page, image.get());
    return image;
}

void VlPdf::draw(fpdf_page_t__ *page, QImage *target)
{
    const int w = target->width();
    const int h = target->height();
    fpdf_bitmap_t__ *bitmap
        = Bitmap_CreateEx(w, h, FPDFBITMAP_BGRA, target->bits(), int(target->bytesPerLine()));
    if (!bitmap)
        return;
    RenderPageBitmap(bitmap, page, 0, 0, w, h, 0, FPDF_ANNOT);

    _FPDF_FORMFILLINFO info = {};
    info.version = 1;
    // The record must outlive the environment, which keeps a pointer to it.
    fpdf_form_handle_t__ *form = InitFormFillEnvironment(m_document, &info);
    if (form) {
        FFLDraw(form, bitmap, page, 0, 0, w, h, 0, FPDF_ANNOT);
        OnBeforeClosePage(page, form);
        ExitFormFillEnvironment(form);
    }
    Bitmap_Destroy(bitmap);
}

bool vlPdfRenderOntoWhite(VlPdf &pdf, int pageIndex, const QSize &size, QImage *canvas)
{
    if (!pdf.m_document || !canvas || canvas->isNull() || canvas->depth() != 32)
        return false;
    fpdf_page_t__ *page = pdf.LoadPage(pdf.m_document, pageIndex);
    if (!page)
        return false;
    const bool fits
        = pdf.fittedSize(pdf.GetPageWidth(page), pdf.GetPageHeight(page), size) == canvas->size();
    if (fits) {
        // Opaque white in every 32-bit layout.
        canvas->fill(0xffffffffu);
        pdf.draw(page, canvas);
    }
    pdf.ClosePage(page);
    return fits;
}

std::unique_ptr<QImage, VlPdf::Image_Deleter> VlPdf::render()
{
    return render(0, QSize());
}

void VlPdf::close()
{
    if (m_document) {
        CloseDocument(m_document);
        m_document = nullptr;
    }
    m_filePath.clear();
    m_bytes.reset();
}

double VlPdf::scale() const
{
    return m_scale;
}

void VlPdf::setScale(double scale)
{
    m_scale = scale;
}

QString VlPdf::filePath() const
{
    return m_filePath;
}

void VlPdf::setFilePath(const QString &filePath)
{
    m_filePath = filePath;
}

QSharedPointer<QLibrary> VlPdf::pdfiumLib() const
{
    return VlPdf_Lib::instance()->renderer;
}

void VlPdf::deleteLibrary(QLibrary *library)
{
    if (!library)
        return;
    library->unload();
    delete library;
}

void VlPdf::init()
{
    m_document = nullptr;
    m_scale = 1.0;
    m_lib = VlPdf_Lib::instance();
}

// The binding: one PDFium entry point each, called with its arguments unchanged.

void VlPdf::InitLibrary()
{
    using Function = void(VL_FPDF_CALL *)(const VlPdfLibraryConfig *);
    if (auto function
        = reinterpret_cast<Function>(pdfiumLib()->resolve("FPDF_InitLibraryWithConfig"))) {
        VlPdfLibraryConfig config = {2, nullptr, nullptr, 0};
        function(&config);
    }
}

void VlPdf::DestroyLibrary()
{
    if (auto function = Entry<void>::resolve(pdfiumLib(), "FPDF_DestroyLibrary"))
        function();
}

fpdf_document_t__ *VlPdf::LoadDocument(const char *path, const char *password)
{
    if (auto function = Entry<fpdf_document_t__ *, const char *, const char *>::resolve(
            pdfiumLib(), "FPDF_LoadDocument"))
        return function(path, password);
    return nullptr;
}

fpdf_document_t__ *VlPdf::LoadMemDocument(const void *data, int size, const char *password)
{
    if (auto function = Entry<fpdf_document_t__ *, const void *, int, const char *>::resolve(
            pdfiumLib(), "FPDF_LoadMemDocument"))
        return function(data, size, password);
    return nullptr;
}

int VlPdf::GetPageCount(fpdf_document_t__ *document) const
{
    if (auto function = Entry<int, fpdf_document_t__ *>::resolve(pdfiumLib(), "FPDF_GetPageCount"))
        return function(document);
    return 0;
}

fpdf_page_t__ *VlPdf::LoadPage(fpdf_document_t__ *document, int index)
{
    if (auto function
        = Entry<fpdf_page_t__ *, fpdf_document_t__ *, int>::resolve(pdfiumLib(), "FPDF_LoadPage"))
        return function(document, index);
    return nullptr;
}

int VlPdf::GetPageSizeByIndex(fpdf_document_t__ *document, int index, double *width, double *height)
{
    if (auto function = Entry<int, fpdf_document_t__ *, int, double *, double *>::resolve(
            pdfiumLib(), "FPDF_GetPageSizeByIndex"))
        return function(document, index, width, height);
    return 0;
}

double VlPdf::GetPageWidth(fpdf_page_t__ *page)
{
    if (auto function = Entry<double, fpdf_page_t__ *>::resolve(pdfiumLib(), "FPDF_GetPageWidth"))
        return function(page);
    return 0.0;
}

double VlPdf::GetPageHeight(fpdf_page_t__ *page)
{
    if (auto function = Entry<double, fpdf_page_t__ *>::resolve(pdfiumLib(), "FPDF_GetPageHeight"))
        return function(page);
    return 0.0;
}

fpdf_bitmap_t__ *VlPdf::Bitmap_CreateEx(
    int width, int height, int format, void *firstScan, int stride)
{
    if (auto function = Entry<fpdf_bitmap_t__ *, int, int, int, void *, int>::resolve(
            pdfiumLib(), "FPDFBitmap_CreateEx"))
        return function(width, height, format, firstScan, stride);
    return nullptr;
}

void VlPdf::RenderPageBitmap(fpdf_bitmap_t__ *bitmap, fpdf_page_t__ *page, int startX, int startY,
    int sizeX, int sizeY, int rotate, int flags)
{
    if (auto function
        = Entry<void, fpdf_bitmap_t__ *, fpdf_page_t__ *, int, int, int, int, int, int>::resolve(
            pdfiumLib(), "FPDF_RenderPageBitmap"))
        function(bitmap, page, startX, startY, sizeX, sizeY, rotate, flags);
}

fpdf_form_handle_t__ *VlPdf::InitFormFillEnvironment(
    fpdf_document_t__ *document, _FPDF_FORMFILLINFO *info)
{
    if (auto function
        = Entry<fpdf_form_handle_t__ *, fpdf_document_t__ *, _FPDF_FORMFILLINFO *>::resolve(
            pdfiumLib(), "FPDFDOC_InitFormFillEnvironment"))
        return function(document, info);
    return nullptr;
}

void VlPdf::ExitFormFillEnvironment(fpdf_form_handle_t__ *form)
{
    if (auto function = Entry<void, fpdf_form_handle_t__ *>::resolve(
            pdfiumLib(), "FPDFDOC_ExitFormFillEnvironment"))
        function(form);
}

void VlPdf::FFLDraw(fpdf_form_handle_t__ *form, fpdf_bitmap_t__ *bitmap, fpdf_page_t__ *page,
    int startX, int startY, int sizeX, int sizeY, int rotate, int flags)
{
    if (auto function = Entry<void, fpdf_form_handle_t__ *, fpdf_bitmap_t__ *, fpdf_page_t__ *, int,
            int, int, int, int, int>::resolve(pdfiumLib(), "FPDF_FFLDraw"))
        function(form, bitmap, page, startX, startY, sizeX, sizeY, rotate, flags);
}

void VlPdf::OnBeforeClosePage(fpdf_page_t__ *page, fpdf_form_handle_t__ *form)
{
    if (auto function = Entry<void, fpdf_page_t__ *, fpdf_form_handle_t__ *>::resolve(
            pdfiumLib(), "FORM_OnBeforeClosePage"))
        function(page, form);
}

void VlPdf::ClosePage(fpdf_page_t__ *page)
{
    if (auto function = Entry<void, fpdf_page_t__ *>::resolve(pdfiumLib(), "FPDF_ClosePage"))
        function(page);
}

void VlPdf::CloseDocument(fpdf_document_t__ *document)
{
    if (auto function
        = Entry<void, fpdf_document_t__ *>::resolve(pdfiumLib(), "FPDF_CloseDocument"))
        function(document);
}

void VlPdf::Bitmap_Destroy(fpdf_bitmap_t__ *bitmap)
{
    if (auto function = Entry<void, fpdf_bitmap_t__ *>::resolve(pdfiumLib(), "FPDFBitmap_Destroy"))
        function(bitmap);
}

unsigned long VlPdf::GetLastError() const
{
    if (auto function = Entry<unsigned long>::resolve(pdfiumLib(), "FPDF_GetLastError"))
        return function();
    return 0;
}

} // namespace Vela
