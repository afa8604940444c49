#ifndef VELA_VLPDF_H
#define VELA_VLPDF_H

#include "vlpdf_export.h"

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QRecursiveMutex>
#include <QSharedPointer>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <memory>

class QLibrary;

// PDFium's opaque handle types. Only pointers to them cross this interface; their layout
// belongs to the renderer loaded at run time.
struct fpdf_document_t__;
struct fpdf_page_t__;
struct fpdf_bitmap_t__;
struct fpdf_form_handle_t__;
struct _FPDF_FORMFILLINFO;

namespace Vela {

class VlPdf_Lib;

// One PDF document rendered through PDFium, which is loaded at run time from the folder
// "pdfium" beside the application.
//
// Not thread-safe, and neither is PDFium: every call that reaches PDFium (everything except
// the constructors and the path and scale accessors) must be made under globalLocker()
// whenever another thread of the process may use PDFium, and one object must not be used
// from two threads at once.
class VLPDF_EXPORT VlPdf : public QObject
{
    Q_OBJECT

public:
    // Frees rendered images with the allocator of this library.
    struct VLPDF_EXPORT Image_Deleter
    {
        void operator()(QImage *image) const;
    };

    explicit VlPdf(QObject *parent = nullptr);
    VlPdf(const QString &filePath, QObject *parent);
    // Closes a document that is still open; takes globalLocker() for that call.
    ~VlPdf() override;

    VlPdf(const VlPdf &) = delete;
    VlPdf &operator=(const VlPdf &) = delete;

    static QRecursiveMutex *globalLocker();
    static QString getErrorMessage(unsigned long code);

    bool isLibraryLoaded() const;
    unsigned long lastError() const;

    // A document that is already open is closed first.
    bool open(const QString &filePath, const QString &password);
    bool open();
    // The buffer is shared with the caller and kept until close().
    bool load(const std::shared_ptr<QByteArray> &data, const QString &password);
    // The memory is not copied; it must stay valid and unchanged until close().
    bool load(const void *data, int size, const QString &password);

    int pageCount() const;
    // The size of page pageIndex in points (1/72 inch); empty when no document is open or the
    // page cannot be loaded. render(pageIndex, QSize()) draws it at this size times scale(),
    // so a caller can refuse a page too large to draw before anything is allocated.
    QSizeF pageSize(int pageIndex);
    // The size in pixels that render(pageIndex, size) draws; empty when no document is open or
    // the page cannot be loaded. With renderBytes() it lets a caller refuse a page that would
    // draw to too many bytes before anything is allocated.
    QSize renderSize(int pageIndex, const QSize &size);
    // Bytes of the image that render() allocates for a size in pixels; 0 for an empty size.
    static quint64 renderBytes(const QSize &pixels);

    // Natural size (points times scale) fitted into size keeping the aspect ratio; natural
    // size when size is empty. Empty pointer when no document is open or the page cannot be
    // loaded; a null image when the size cannot be allocated.
    std::unique_ptr<QImage, Image_Deleter> render(int pageIndex, const QSize &size);
    std::unique_ptr<QImage, Image_Deleter> render(fpdf_page_t__ *page, const QSize &size);
    std::unique_ptr<QImage, Image_Deleter> render();

    void close();

    double scale() const;
    void setScale(double scale);

    QString filePath() const;
    void setFilePath(const QString &filePath);

private:
    // Draws the page, fitted into target's size, over what target holds.
    void draw(fpdf_page_t__ *page, QImage *target);
    friend VLPDF_EXPORT bool vlPdfRenderOntoWhite(
        VlPdf &pdf, int pageIndex, const QSize &size, QImage *canvas);

    QSharedPointer<QLibrary> pdfiumLib() const;
    static void deleteLibrary(QLibrary *library);
    void init();
    QSize fittedSize(double width, double height, const QSize &size) const;

    void InitLibrary();
    void DestroyLibrary();
    fpdf_document_t__ *LoadDocument(const char *path, const char *password);
    fpdf_document_t__ *LoadMemDocument(const void *data, int size, const char *password);
    int GetPageCount(fpdf_document_t__ *document) const;
    fpdf_page_t__ *LoadPage(fpdf_document_t__ *document, int index);
    int GetPageSizeByIndex(fpdf_document_t__ *document, int index, double *width, double *height);
    double GetPageWidth(fpdf_page_t__ *page);
    double GetPageHeight(fpdf_page_t__ *page);
    fpdf_bitmap_t__ *Bitmap_CreateEx(
        int width, int height, int format, void *firstScan, int stride);
    void RenderPageBitmap(fpdf_bitmap_t__ *bitmap, fpdf_page_t__ *page, int startX, int startY,
        int sizeX, int sizeY, int rotate, int flags);
    fpdf_form_handle_t__ *InitFormFillEnvironment(
        fpdf_document_t__ *document, _FPDF_FORMFILLINFO *info);
    void ExitFormFillEnvironment(fpdf_form_handle_t__ *form);
    void FFLDraw(fpdf_form_handle_t__ *form, fpdf_bitmap_t__ *bitmap, fpdf_page_t__ *page,
        int startX, int startY, int sizeX, int sizeY, int rotate, int flags);
    void OnBeforeClosePage(fpdf_page_t__ *page, fpdf_form_handle_t__ *form);
    void ClosePage(fpdf_page_t__ *page);
    void CloseDocument(fpdf_document_t__ *document);
    void Bitmap_Destroy(fpdf_bitmap_t__ *bitmap);
    unsigned long GetLastError() const;

    friend class VlPdf_Lib;

    QString m_filePath;
    fpdf_document_t__ *m_document = nullptr;
    double m_scale = 1.0;
    VlPdf_Lib *m_lib = nullptr;
    std::shared_ptr<QByteArray> m_bytes;
};

} // namespace Vela

#endif
