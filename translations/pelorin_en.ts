<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name></name>
    <message id="Could not read image metadata">
        <source>Could not read image metadata</source>
        <translation>Could not read image metadata</translation>
    </message>
    <message id="viewmodel.error.unknownFallback">
        <source>Unknown error</source>
        <translation>Unknown error</translation>
    </message>
    <message id="batch.error.sourceUnreadable">
        <source>Could not read source image at %1.</source>
        <translation>Could not read source image at %1.</translation>
    </message>
    <message id="batch.error.maskFailed">
        <source>Background mask generation failed: %1</source>
        <translation>Background mask generation failed: %1</translation>
    </message>
    <message id="batch.error.compositeFailed">
        <source>Image composite failed: %1</source>
        <translation>Image composite failed: %1</translation>
    </message>
    <message id="batch.error.writeFailed">
        <source>Failed to write %1: %2</source>
        <translation>Failed to write %1: %2</translation>
    </message>
    <message id="batch.error.unsupportedFormat">
        <source>Output format %1 is not supported in this build.</source>
        <translation>Output format %1 is not supported in this build.</translation>
    </message>
</context>
</TS>
