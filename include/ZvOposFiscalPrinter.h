/*
 * ZvOposFiscalPrinter.h - the OPOS FiscalPrinter control as a plug-in (Linux).
 *
 * A fiscal printer is driven through the members of the OPOS FiscalPrinter control
 * that the driver uses. On Linux that control is a shared object: the driver loads
 * the file named by the environment variable ZV_OPOS_FISCALPRINTER and calls its one
 * exported entry point, ZvOposGetFiscalPrinter, which returns a table of plain C
 * functions of version ZV_OPOS_FISCALPRINTER_VERSION. Anyone can write such a control
 * for their printer with this header alone.
 *
 * Conventions:
 * - Text is UTF-16 code units with an explicit length (no terminator is needed or
 *   read). Text handed out goes through a ZvOposTextSink, which copies it before it
 *   returns; the control keeps ownership of what it passes.
 * - Amounts are OPOS currency: int64_t scaled by 10,000 (12.50 is 125000).
 *   Quantities are int32_t thousandths (2.5 units is 2500).
 * - Booleans are int32_t, 0 false and anything else true.
 * - Methods return the OPOS result code (0 OPOS_SUCCESS, 101 to 115 the OPOS_E_
 *   codes); with 114 (OPOS_E_EXTENDED) the extended code is in ResultCodeExtended.
 *   ErrorString describes the last failure.
 * - Property accessors return 0 when the property was read or written and anything
 *   else when the control itself failed (the COM control would raise); the driver then
 *   reports a failure with ErrorString. A property write that OPOS refuses (such as
 *   DeviceEnabled on an unclaimed device) is no such failure: it returns 0 and leaves
 *   the property as it was.
 * - One control object serves one caller thread; the driver creates one per device.
 */
#ifndef ZV_OPOS_FISCALPRINTER_H
#define ZV_OPOS_FISCALPRINTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZV_OPOS_FISCALPRINTER_VERSION 1
#define ZV_OPOS_FISCALPRINTER_ENTRY "ZvOposGetFiscalPrinter"

typedef uint16_t ZvOposChar;
typedef struct ZvOposControl ZvOposControl; /* the control's own object, opaque */

/* Receives a text the control hands out; called at most once per out-parameter. */
typedef void (*ZvOposTextSink)(void* aContext, const ZvOposChar* aText, int32_t aLength);

typedef struct ZvOposFiscalPrinterTable_ {
  uint32_t Version; /* ZV_OPOS_FISCALPRINTER_VERSION */
  uint32_t Size;    /* sizeof(ZvOposFiscalPrinterTable) of the control's header */

  /* A new control object, or null when none can be made; freed by Destroy. */
  ZvOposControl* (*Create)(void);
  void (*Destroy)(ZvOposControl* aControl);

  /* Methods: each returns the OPOS result code. */
  int32_t (*Open)(ZvOposControl* c, const ZvOposChar* aDeviceName, int32_t aDeviceNameLength);
  int32_t (*ClaimDevice)(ZvOposControl* c, int32_t aTimeout);
  int32_t (*ReleaseDevice)(ZvOposControl* c);
  int32_t (*Close)(ZvOposControl* c);
  int32_t (*BeginFiscalReceipt)(ZvOposControl* c, int32_t aPrintHeader);
  int32_t (*EndFiscalReceipt)(ZvOposControl* c, int32_t aPrintHeader);
  int32_t (*BeginNonFiscal)(ZvOposControl* c);
  int32_t (*EndNonFiscal)(ZvOposControl* c);
  int32_t (*BeginTraining)(ZvOposControl* c);
  int32_t (*EndTraining)(ZvOposControl* c);
  int32_t (*ResetPrinter)(ZvOposControl* c);
  int32_t (*PrintXReport)(ZvOposControl* c);
  int32_t (*PrintZReport)(ZvOposControl* c);
  int32_t (*PrintNormal)(ZvOposControl* c, int32_t aStation, const ZvOposChar* aData, int32_t aDataLength);
  int32_t (*PrintRecMessage)(ZvOposControl* c, const ZvOposChar* aMessage, int32_t aMessageLength);
  int32_t (*PrintRecTaxID)(ZvOposControl* c, const ZvOposChar* aTaxId, int32_t aTaxIdLength);
  int32_t (*PrintRecItem)(ZvOposControl* c, const ZvOposChar* aDescription, int32_t aDescriptionLength,
                          int64_t aPrice, int32_t aQuantity, int32_t aVatInfo, int64_t aUnitPrice,
                          const ZvOposChar* aUnitName, int32_t aUnitNameLength);
  int32_t (*PrintRecItemVoid)(ZvOposControl* c, const ZvOposChar* aDescription, int32_t aDescriptionLength,
                              int64_t aPrice, int32_t aQuantity, int32_t aVatInfo, int64_t aUnitPrice,
                              const ZvOposChar* aUnitName, int32_t aUnitNameLength);
  int32_t (*PrintRecRefund)(ZvOposControl* c, const ZvOposChar* aDescription, int32_t aDescriptionLength,
                            int64_t aAmount, int32_t aVatInfo);
  int32_t (*PrintRecItemAdjustment)(ZvOposControl* c, int32_t aAdjustmentType, const ZvOposChar* aDescription,
                                    int32_t aDescriptionLength, int64_t aAmount, int32_t aVatInfo);
  int32_t (*PrintRecSubtotal)(ZvOposControl* c, int64_t aAmount);
  int32_t (*PrintRecSubtotalAdjustment)(ZvOposControl* c, int32_t aAdjustmentType, const ZvOposChar* aDescription,
                                        int32_t aDescriptionLength, int64_t aAmount);
  int32_t (*PrintRecTotal)(ZvOposControl* c, int64_t aTotal, int64_t aPayment, const ZvOposChar* aDescription,
                           int32_t aDescriptionLength);
  int32_t (*PrintRecNotPaid)(ZvOposControl* c, const ZvOposChar* aDescription, int32_t aDescriptionLength,
                             int64_t aAmount);
  /* *aData and the string are in and out: the control writes *aData and passes the
     string it leaves to aSink (the text given, when it changes nothing). */
  int32_t (*DirectIO)(ZvOposControl* c, int32_t aCommand, int32_t* aData, const ZvOposChar* aString,
                      int32_t aStringLength, ZvOposTextSink aSink, void* aSinkContext);
  /* *aOptArgs is in and out; the data goes to aSink. */
  int32_t (*GetData)(ZvOposControl* c, int32_t aDataItem, int32_t* aOptArgs, ZvOposTextSink aSink,
                     void* aSinkContext);
  /* The printer's date and time as "ddmmyyyyhhnn". */
  int32_t (*GetDate)(ZvOposControl* c, ZvOposTextSink aSink, void* aSinkContext);
  int32_t (*SetDate)(ZvOposControl* c, const ZvOposChar* aDate, int32_t aDateLength);

  /* Properties: 0 when read or written, anything else when the control failed. */
  int32_t (*GetDeviceEnabled)(ZvOposControl* c, int32_t* aValue);
  int32_t (*SetDeviceEnabled)(ZvOposControl* c, int32_t aValue);
  int32_t (*GetResultCodeExtended)(ZvOposControl* c, int32_t* aValue);
  int32_t (*GetErrorString)(ZvOposControl* c, ZvOposTextSink aSink, void* aSinkContext);
  int32_t (*GetAdditionalTrailer)(ZvOposControl* c, ZvOposTextSink aSink, void* aSinkContext);
  int32_t (*SetAdditionalTrailer)(ZvOposControl* c, const ZvOposChar* aValue, int32_t aLength);
  int32_t (*SetPreLine)(ZvOposControl* c, const ZvOposChar* aValue, int32_t aLength);
  int32_t (*SetFiscalReceiptType)(ZvOposControl* c, int32_t aValue);
  int32_t (*GetPrinterState)(ZvOposControl* c, int32_t* aValue);
  int32_t (*GetRemainingFiscalMemory)(ZvOposControl* c, int32_t* aValue);
  int32_t (*GetCoverOpen)(ZvOposControl* c, int32_t* aValue);
  int32_t (*GetDayOpened)(ZvOposControl* c, int32_t* aValue);
  int32_t (*GetRecEmpty)(ZvOposControl* c, int32_t* aValue);
  int32_t (*GetRecNearEnd)(ZvOposControl* c, int32_t* aValue);
  int32_t (*GetTrainingModeActive)(ZvOposControl* c, int32_t* aValue);
} ZvOposFiscalPrinterTable;

/* The one entry point a control exports (name ZV_OPOS_FISCALPRINTER_ENTRY): its table,
   valid as long as the shared object stays loaded. */
typedef const ZvOposFiscalPrinterTable* (*ZvOposFiscalPrinterEntry)(void);

#ifdef __cplusplus
}
#endif

#endif /* ZV_OPOS_FISCALPRINTER_H */
