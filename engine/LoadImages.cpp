// Upload images of a run: built from the loaded file when the checks passed.
#include "engine/Fwupgraderrs485.h"

#include "diagnostics/Globalfunctions.h"

bool KWOCFwUpgraderRS485::startLoadBinFile(bool direct)
{
    m_bUploadComplete = false;
    if (!m_pBinFile || m_pBinFile->empty()) {
        reportError("Bin file NULL\tKWOCFwUpgraderRS485::startLoadBinFile");
        return false;
    }
    releaseCurrentImage();
    const int32_t format = m_File.m_nFileFormat;
    if (format == FORMAT_LEGACY || format == FORMAT_32BITS) {
        if (!buildSingleImage(*m_pBinFile, m_File, m_SingleImage))
            return false;
        m_pFatBuffer = &m_SingleImage;
        m_nFatBufferSize = int32_t(m_SingleImage.size());
        return startSendBinFile(direct);
    }
    if (format != FORMAT_SECTIONS) {
        reportError("Unknown file format !\tKWOCFwUpgraderRS485::startLoadBinFile");
        return false;
    }
    KWOImage().swap(m_pLittleImage);
    KWOImage().swap(m_pBigImage);
    m_nLittleImageSize = 0;
    m_nBigImageSize = 0;
    KWOSSectionImages images;
    const bool built = buildSectionImages(*m_pBinFile, m_File, images);
    m_nProcessor = images.processor;
    m_nStructureId = images.structureId;
    m_nBlStructureId = images.blStructureId;
    m_nPageSize = images.pageSize;
    m_nLittleCodeStart = images.littleCodeStart;
    m_nEndSearchLimit = images.endSearchLimit;
    if (!built)
        return false;
    m_pLittleImage = std::move(images.little);
    m_pBigImage = std::move(images.big);
    m_nLittleImageSize = int32_t(m_pLittleImage.size());
    m_nBigImageSize = int32_t(m_pBigImage.size());
    m_pFatBuffer = &m_pLittleImage;
    m_nFatBufferSize = m_nLittleImageSize;
    return startSendBinFile(direct);
}
