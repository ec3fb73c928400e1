// The application: shows the installer's dialog once and ends.
#pragma once

#include "platform/Afx.h"

class CQuillbrookApp : public CWinApp
{
public:
    CQuillbrookApp();

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CQuillbrookApp theApp;
