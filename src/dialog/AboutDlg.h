// The About box, opened from the window menu.
#pragma once

#include "platform/Afx.h"
#include "dialog/resource.h"

class CAboutDlg : public CDialog
{
public:
    CAboutDlg();
    ~CAboutDlg() override;

    enum
    {
        IDD = IDD_ABOUTBOX
    };

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    DECLARE_MESSAGE_MAP()
};
