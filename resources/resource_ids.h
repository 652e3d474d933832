/* Ids of the updater's resources and of the wizard's controls, shared by the
   resource script and the code. */
#pragma once

#define IDD_WIZARD 100           /* start page without an agreement */
#define IDD_WIZARD_AGREEMENT 101 /* start page with the agreement text */
#define IDR_PAYLOAD 102          /* resource type "UPDATE": the archive */
#define IDR_PAYLOAD_CHECKSUM 103 /* resource type "UPDATE": the archive's checksum record */

#define IDC_NEXT 1   /* IDOK: Enter */
#define IDC_CANCEL 2 /* IDCANCEL: Escape and the close box */
#define IDC_BACK 4
#define IDC_AGREEMENT_TEXT 1000
#define IDC_INFO 1001
#define IDC_AGREE 1002
#define IDC_DISAGREE 1003
