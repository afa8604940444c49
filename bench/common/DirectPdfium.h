#ifndef VELA_BENCH_DIRECTPDFIUM_H
#define VELA_BENCH_DIRECTPDFIUM_H

// The PDFium entry points that VlPdf::render uses, resolved once and called directly: the
// baseline that the PDF benchmarks measure the libraries against.

#include <QElapsedTimer>
#include <QImage>
#include <QLibrary>
#include <QString>

#include <type_traits>

class DirectPdfium
{
public:
    bool resolve(QLibrary &lib)
    {
        auto get = [&lib](auto &function, const char *name) {
            function
                = reinterpret_cast<std::remove_reference_t<decltype(function)>>(lib.resolve(name));
            return function != nullptr;
        };
        return get(loadDocument, "FPDF_LoadDocument") && get(closeDocument, "FPDF_CloseDocument")
            && get(loadPage, "FPDF_LoadPage") && get(closePage, "FPDF_ClosePage")
            && get(pageWidth, "FPDF_GetPageWidth") && get(pageHeight, "FPDF_GetPageHeight")
            && get(createEx, "FPDFBitmap_CreateEx") && get(destroyBitmap, "FPDFBitmap_Destroy")
            && get(renderPage, "FPDF_RenderPageBitmap")
            && get(initForm, "FPDFDOC_InitFormFillEnvironment")
            && get(exitForm, "FPDFDOC_ExitFormFillEnvironment") && get(ffldraw, "FPDF_FFLDraw")
            && get(beforeClosePage, "FORM_OnBeforeClosePage");
    }

    // Opens the document once and renders its first `pages` pages at natural size into plain
    // images, the way VlPdf::render does. Milliseconds for the pages, with the document's
    // load counted too when timeLoad is set; -1 on failure.
    double renderPages(const QString &path, int pages, bool timeLoad) const
    {
        QElapsedTimer timer;
        timer.start();
        Doc document = loadDocument(path.toUtf8().constData(), nullptr);
        if (!document)
            return -1;
        if (!timeLoad)
            timer.restart();
        for (int i = 0; i < pages; ++i) {
            if (!renderOne(document, i)) {
                closeDocument(document);
                return -1;
            }
        }
        const double ms = timer.nsecsElapsed() / 1e6;
        closeDocument(document);
        return ms;
    }

private:
    using Doc = void *;
    using Page = void *;
    using Bitmap = void *;
    using Form = void *;

    // Large enough for any version of PDFium's form-fill record; only the version is set.
    struct FormInfo
    {
        int version = 1;
        void *rest[40] = {};
    };

    bool renderOne(Doc document, int index) const
    {
        Page page = loadPage(document, index);
        if (!page)
            return false;
        const int w = int(pageWidth(page));
        const int h = int(pageHeight(page));
        QImage image(w, h, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        Bitmap bitmap = createEx(w, h, 4, image.bits(), int(image.bytesPerLine()));
        renderPage(bitmap, page, 0, 0, w, h, 0, 1);
        FormInfo info;
        if (Form form = initForm(document, &info)) {
            ffldraw(form, bitmap, page, 0, 0, w, h, 0, 1);
            beforeClosePage(page, form);
            exitForm(form);
        }
        destroyBitmap(bitmap);
        closePage(page);
        return true;
    }

    Doc (*loadDocument)(const char *, const char *) = nullptr;
    void (*closeDocument)(Doc) = nullptr;
    Page (*loadPage)(Doc, int) = nullptr;
    void (*closePage)(Page) = nullptr;
    double (*pageWidth)(Page) = nullptr;
    double (*pageHeight)(Page) = nullptr;
    Bitmap (*createEx)(int, int, int, void *, int) = nullptr;
    void (*destroyBitmap)(Bitmap) = nullptr;
    void (*renderPage)(Bitmap, Page, int, int, int, int, int, int) = nullptr;
    Form (*initForm)(Doc, void *) = nullptr;
    void (*exitForm)(Form) = nullptr;
    void (*ffldraw)(Form, Bitmap, Page, int, int, int, int, int, int) = nullptr;
    void (*beforeClosePage)(Page, Form) = nullptr;
};

#endif
