<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name></name>
    <message id="contentview.settings.help">
        <source>Settings</source>
        <extracomment>Tooltip of the gear button above the file list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.settings.a11y">
        <source>Settings</source>
        <extracomment>Accessibility label of the gear button above the file list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.openInFinder">
        <source>Open in File Manager</source>
        <extracomment>Button that shows the output folder in the desktop&apos;s file manager</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.clear">
        <source>Clear</source>
        <extracomment>Button that removes every row from the list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.start">
        <source>Start</source>
        <extracomment>Primary button while no run is going: starts processing the waiting rows</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.cancel">
        <source>Cancel</source>
        <extracomment>Primary button during a run: stops it</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.cancelling">
        <source>Cancelling…</source>
        <extracomment>Primary button after Cancel was pressed, until the run has wound down</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.clear.confirmTitle">
        <source>Clear all images?</source>
        <extracomment>Title of the question asked before clearing a long list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.clear.confirmMessage">
        <source>This removes every row from the list. The output files already on disk are not affected.</source>
        <extracomment>Message of the question asked before clearing a long list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.clear.confirmAction">
        <source>Clear All</source>
        <extracomment>Button that confirms clearing the whole list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="contentview.clear.confirmCancel">
        <source>Keep</source>
        <extracomment>Button that keeps the list as it is</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.dropzone.compact.tooltip">
        <source>Accepts PNG, JPEG, HEIC, TIFF, WebP, BMP</source>
        <extracomment>Tooltip of the compact drop zone above the file list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.dropzone.compact.a11y">
        <source>Drop image files here to add to the queue</source>
        <extracomment>Accessibility label of the compact drop zone above the file list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.dropzone.compact.label">
        <source>Add images (drag &amp; drop)</source>
        <extracomment>Text of the compact drop zone above the file list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="dropzone.chooser.allImages">
        <source>Images</source>
        <extracomment>File chooser filter that shows every accepted image type</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="dropzone.a11y.label">
        <source>Drop image files here</source>
        <extracomment>Accessibility label of the large drop zone</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="Settings">
        <source>Settings</source>
        <extracomment>Tooltip and accessibility label of the gear button on the large drop zone</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="dropzone.headline">
        <source>Drag &amp; drop images here</source>
        <extracomment>Headline of the large drop zone</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="dropzone.or">
        <source>or</source>
        <extracomment>Separator between the drop zone&apos;s headline and its Select Files button</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="dropzone.selectFiles">
        <source>Select Files</source>
        <extracomment>Button of the large drop zone that opens a file chooser</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="dropzone.supportedFormats">
        <source>Accepts: PNG, JPEG, HEIC, TIFF, WebP, BMP</source>
        <extracomment>Caption under the Select Files button listing the accepted formats</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="status.waiting">
        <source>Waiting</source>
        <extracomment>Status cell of a row that has not been processed yet</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="status.processing">
        <source>Processing</source>
        <extracomment>Accessibility label of the status cell of a row being processed</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="status.cancelling">
        <source>Cancelling</source>
        <extracomment>Accessibility label of the status cell of a row whose run is being cancelled</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="status.done">
        <source>Done</source>
        <extracomment>Accessibility label of the status cell of a finished row</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="status.doneWithWarning">
        <source>Done with warning</source>
        <extracomment>Accessibility label of the status cell of a finished row whose mask file failed</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="status.cancelled">
        <source>Cancelled</source>
        <extracomment>Accessibility label of the status cell of a cancelled row</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="status.error">
        <source>Error</source>
        <extracomment>Accessibility label of the status cell of a failed row</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.size.zero">
        <source>Zero kB</source>
        <oldsource>Zero KB</oldsource>
        <extracomment>Size column of an empty file: a zero byte count spelled out in the unit the other sizes use</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.column.file">
        <source>File</source>
        <extracomment>Column header of the file names</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.column.output">
        <source>Output</source>
        <extracomment>Column header of the output format</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.column.size">
        <source>Size</source>
        <extracomment>Column header of the file sizes</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.column.status">
        <source>Status</source>
        <extracomment>Column header of the row status</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.action.delete">
        <source>Delete</source>
        <extracomment>Context-menu item that removes a row from the list</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.format.picker.label">
        <source>Output format</source>
        <extracomment>Label of the output format picker in the settings sheet</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.format.tiff.note">
        <source>Lossless with LZW compression. Preserves 16-bit depth and ICC profiles for print and archival workflows.</source>
        <extracomment>Note under the format picker while TIFF is chosen</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.format.png.note">
        <source>Lossless RGB and 16-bit support. Universal compatibility — recommended default.</source>
        <extracomment>Note under the format picker while PNG is chosen</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.mask.export.enable">
        <source>Export mask separately</source>
        <extracomment>Switch that also writes each mask as its own PNG file</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.mask.export.suffix">
        <source>Saves &lt;basename&gt;-mask.png alongside the main output.</source>
        <extracomment>First footer line under the mask export switch; &lt;basename&gt; stands for the cutout&apos;s name</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.mask.export.fullRes">
        <source>The mask is always written at the source&apos;s full resolution, so its 0/255 edges aren&apos;t softened by interpolation.</source>
        <extracomment>Second footer line under the mask export switch</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.mask.refine.enable">
        <source>Refine edges</source>
        <extracomment>Switch that refines each mask&apos;s edge against the photo</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.mask.refine.note">
        <source>Edges follow hair and fine detail in the photo, without the old background&apos;s colour.</source>
        <extracomment>Footer line under the edge refinement switch</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.format.label">
        <source>Format:</source>
        <extracomment>Label before the output format picker of the settings bar</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.format.a11y">
        <source>Output format</source>
        <extracomment>Accessibility label of the output format picker of the settings bar</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.output.label">
        <source>Output:</source>
        <extracomment>Label before the output folder of the settings bar</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.output.reset">
        <source>Reset</source>
        <extracomment>Button that clears the chosen output folder</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.output.change">
        <source>Change Folder</source>
        <extracomment>Button that opens the output folder picker</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.output.placeholder">
        <source>(same folder as input)</source>
        <extracomment>Output folder text when every cutout goes next to its source</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.sheet.title">
        <source>Settings</source>
        <extracomment>Title of the settings sheet</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.sheet.done">
        <source>Done</source>
        <extracomment>Button that closes the settings sheet</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.tab.output">
        <source>Output</source>
        <extracomment>First tab of the settings sheet: output format</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="settings.tab.mask">
        <source>Mask</source>
        <extracomment>Second tab of the settings sheet: mask export</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="cli.desktop.description">
        <source>Removes the background from images.</source>
        <extracomment>Command-line help: what the program does</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="cli.desktop.files">
        <source>Images and folders to queue.</source>
        <extracomment>Command-line help: the optional arguments</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="openPanel.filter.images">
        <source>Images (*.png *.jpg *.jpeg *.heic *.heif *.webp *.tif *.tiff *.bmp)</source>
        <extracomment>File type filter of the Open… dialog</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="menu.file">
        <source>&amp;File</source>
        <extracomment>Menu bar: the File menu</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="menu.open">
        <source>Open…</source>
        <extracomment>File menu: adds files and folders to the queue</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="menu.quit">
        <source>Quit</source>
        <extracomment>File menu: ends the application</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="menu.edit">
        <source>&amp;Edit</source>
        <extracomment>Menu bar: the Edit menu</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="menu.settings">
        <source>Settings…</source>
        <extracomment>Edit menu: opens the settings sheet</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="menu.help">
        <source>&amp;Help</source>
        <extracomment>Menu bar: the Help menu</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="menu.checkForUpdates">
        <source>Check for Updates…</source>
        <extracomment>Help menu: looks for a newer version now</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="menu.about">
        <source>About Pelorin</source>
        <extracomment>Help menu: shows the application&apos;s name, version and purpose</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="about.title">
        <source>About Pelorin</source>
        <extracomment>Title of the About box</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="about.text">
        <source>Pelorin %1

Removes the background from photos, in batches, entirely on this computer.</source>
        <extracomment>Body of the About box. %1 is the version.</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="update.result.title">
        <source>Software Update</source>
        <extracomment>Title of the box that shows the result of Check for Updates</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="update.result.upToDate">
        <source>Pelorin %1 is up to date.</source>
        <extracomment>Result of Check for Updates when no newer version exists. %1 is the installed version.</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="update.result.available">
        <source>A newer version, Pelorin %1, is available at %2</source>
        <extracomment>Result of Check for Updates. %1 is the newer version, %2 the address to get it from.</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="update.result.invalidFeed">
        <source>Could not check for updates: the update information is not valid.</source>
        <extracomment>Result of Check for Updates when the update information could not be understood</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="update.result.unreachable">
        <source>Could not check for updates: %1</source>
        <extracomment>Result of Check for Updates when the update information could not be fetched. %1 says why.</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="summary.progress">
        <source>%1 of %2 processed</source>
        <extracomment>Footer caption under the file list: completed rows of all rows</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="summary.cancelling">
        <source>Cancelling…</source>
        <extracomment>Footer label after Cancel was pressed, until the run has stopped</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="summary.processing">
        <source>Processing…</source>
        <extracomment>Footer label while a run goes</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.action.preview">
        <source>Preview</source>
        <extracomment>Context-menu item that opens the viewer on the row</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.action.openCutout">
        <source>Open Cutout</source>
        <extracomment>Context-menu item that opens a finished row&apos;s cutout in the desktop&apos;s default application</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.action.openMask">
        <source>Open Mask</source>
        <extracomment>Context-menu item that opens the mask file written beside a finished row&apos;s cutout</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="filelist.action.showInFileManager">
        <source>Show in File Manager</source>
        <extracomment>Context-menu item that opens the folder holding the row&apos;s cutout (or its source before that)</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.background.checkerboard">
        <source>Checkerboard</source>
        <extracomment>Viewer button: show the cutout over grey and white squares</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.background.white">
        <source>White</source>
        <extracomment>Viewer button: show the cutout over white</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.background.black">
        <source>Black</source>
        <extracomment>Viewer button: show the cutout over black</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.background.custom">
        <source>Colour…</source>
        <extracomment>Viewer button: pick a colour to show the cutout over</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.split">
        <source>Before/After</source>
        <extracomment>Viewer button: show the source left and the cutout right of a draggable line</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.zoom.fit">
        <source>Fit</source>
        <extracomment>Viewer button: scale the picture to fit the window</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.zoom.actual">
        <source>100 %</source>
        <extracomment>Viewer button: one screen pixel per image pixel</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.state.waiting">
        <source>Waiting: showing the source</source>
        <extracomment>Viewer line under a row that has not been processed yet</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.state.processing">
        <source>Processing: showing the source</source>
        <extracomment>Viewer line under a row being processed</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.state.cancelled">
        <source>Cancelled: showing the source</source>
        <extracomment>Viewer line under a cancelled row</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.state.failed">
        <source>Failed: %1</source>
        <extracomment>Viewer line under a failed row; %1 is the reason</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.state.warning">
        <source>Done with warning: %1</source>
        <extracomment>Viewer line under a finished row whose mask file could not be written; %1 is why</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.state.unreadable">
        <source>Cannot show this picture: %1</source>
        <extracomment>Viewer line when the picture itself cannot be shown; %1 is the decoder&apos;s reason</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.state.loading">
        <source>Loading…</source>
        <extracomment>Viewer line while the pictures are being decoded</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.zoom.percent">
        <source>%1 %</source>
        <extracomment>Viewer caption: the zoom; %1 is a whole number of percent</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message id="viewer.state.done">
        <source>Done: Return opens the cutout</source>
        <extracomment>Viewer line under a finished row</extracomment>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
