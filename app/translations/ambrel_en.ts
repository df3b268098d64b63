<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>AboutWindow</name>
    <message>
        <source>关于我们</source>
        <translation>About Ambrel</translation>
    </message>
    <message>
        <source>主程序版本: %1</source>
        <translation>Version: %1</translation>
    </message>
    <message>
        <source>官网: %1</source>
        <translation>Website: %1</translation>
    </message>
    <message>
        <source>Ambrel 以 MIT 许可证发布。</source>
        <translation>Ambrel is released under the MIT License.</translation>
    </message>
    <message>
        <source>使用的库及其许可证：</source>
        <translation>Libraries it uses, with their licences:</translation>
    </message>
</context>
<context>
    <name>AppDelegate</name>
    <message>
        <source>使用统计</source>
        <translation>Usage Statistics</translation>
    </message>
    <message>
        <source>是否允许 Ambrel 发送匿名的使用统计（程序版本、系统版本、每天是否使用）？
以后可以在菜单中更改。</source>
        <translation>May Ambrel send anonymous usage reports (its version, the system&apos;s version, whether it was used that day)?
You can change this in the menu at any time.</translation>
    </message>
    <message>
        <source>不发送</source>
        <translation>Don&apos;t Send</translation>
    </message>
    <message>
        <source>允许发送</source>
        <translation>Allow</translation>
    </message>
</context>
<context>
    <name>CheckUpdate</name>
    <message>
        <source>检查更新失败：%1</source>
        <translation>The update check failed: %1</translation>
    </message>
    <message>
        <source>检查更新</source>
        <translation>Check for Updates</translation>
    </message>
    <message>
        <source>立即更新</source>
        <translation>Update Now</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>未配置更新服务器</source>
        <translation>no update server is configured</translation>
    </message>
    <message>
        <source>更新服务器的回答过大</source>
        <translation>the update server&apos;s answer is too large</translation>
    </message>
    <message>
        <source>更新服务器响应超时</source>
        <translation>the update server did not answer in time</translation>
    </message>
    <message>
        <source>更新服务器返回错误（HTTP %1）</source>
        <translation>the update server returned an error (HTTP %1)</translation>
    </message>
    <message>
        <source>无法连接更新服务器</source>
        <translation>cannot reach the update server</translation>
    </message>
    <message>
        <source>更新服务器的回答无法识别</source>
        <translation>the update server&apos;s answer cannot be read</translation>
    </message>
    <message>
        <source>更新服务器给出的下载地址无效</source>
        <translation>the update server gave an invalid download address</translation>
    </message>
    <message>
        <source>软件已经更新，您是否立即升级？</source>
        <translation>A new version is available. Update now?</translation>
    </message>
    <message>
        <source>已经是最新版本！</source>
        <translation>You have the latest version.</translation>
    </message>
</context>
<context>
    <name>Dialogs</name>
    <message>
        <source>添加 HEIC 文件…</source>
        <translation>Add HEIC Files…</translation>
    </message>
    <message>
        <source>添加文件夹…</source>
        <translation>Add a Folder…</translation>
    </message>
    <message>
        <source>添加 HEIC 文件</source>
        <translation>Add HEIC Files</translation>
    </message>
    <message>
        <source>添加文件夹</source>
        <translation>Add a Folder</translation>
    </message>
    <message>
        <source>选择输出文件夹</source>
        <translation>Choose the Output Folder</translation>
    </message>
    <message>
        <source>选择</source>
        <translation>Choose</translation>
    </message>
    <message>
        <source>HEIC 图片</source>
        <translation>HEIC pictures</translation>
    </message>
    <message>
        <source>所有文件</source>
        <translation>All files</translation>
    </message>
</context>
<context>
    <name>FailureReason</name>
    <message>
        <source>文件是空的</source>
        <translation>the file is empty</translation>
    </message>
    <message>
        <source>不是 HEIF 文件</source>
        <translation>not a HEIF file</translation>
    </message>
    <message>
        <source>无法打开文件：%1</source>
        <translation>cannot open the file: %1</translation>
    </message>
    <message>
        <source>无法读取文件：%1</source>
        <translation>cannot read the file: %1</translation>
    </message>
    <message>
        <source>这是文件夹，不是文件</source>
        <translation>a folder, not a file</translation>
    </message>
    <message>
        <source>不是普通文件</source>
        <translation>not a regular file</translation>
    </message>
    <message>
        <source>内存不足</source>
        <translation>out of memory</translation>
    </message>
    <message>
        <source>读取文件时内存不足</source>
        <translation>out of memory while reading the file</translation>
    </message>
    <message>
        <source>解码图像时内存不足</source>
        <translation>out of memory while decoding the image</translation>
    </message>
    <message>
        <source>生成图片时内存不足</source>
        <translation>out of memory while making the picture</translation>
    </message>
    <message>
        <source>无法读取 HEIF 结构</source>
        <translation>cannot read the HEIF structure</translation>
    </message>
    <message>
        <source>无法读取 HEIF 结构：%1</source>
        <translation>cannot read the HEIF structure: %1</translation>
    </message>
    <message>
        <source>文件中没有图像（没有 &apos;meta&apos; 盒）</source>
        <translation>the file holds no images (it has no &apos;meta&apos; box)</translation>
    </message>
    <message>
        <source>文件没有指明主图像（没有 &apos;pitm&apos; 盒）</source>
        <translation>the file names no primary image (it has no &apos;pitm&apos; box)</translation>
    </message>
    <message>
        <source>主图像项 %1 不存在</source>
        <translation>the primary item %1 does not exist</translation>
    </message>
    <message>
        <source>图像有 %1 像素（%2 x %3），超过 %4 的上限</source>
        <translation>the image is %1 pixels (%2 x %3), more than the limit of %4</translation>
    </message>
    <message>
        <source>文件不完整：%1</source>
        <translation>the file is cut short: %1</translation>
    </message>
    <message>
        <source>文件不完整：最后一个盒超出了文件末尾</source>
        <translation>the file is cut short: its last box reaches past the end of the file</translation>
    </message>
    <message>
        <source>HEVC 解码失败</source>
        <translation>the HEVC decoder failed</translation>
    </message>
    <message>
        <source>HEVC 解码失败：%1</source>
        <translation>the HEVC decoder failed: %1</translation>
    </message>
    <message>
        <source>图像数据无法解码</source>
        <translation>the image data cannot be decoded</translation>
    </message>
    <message>
        <source>%1 个图块都无法解码</source>
        <translation>none of the %1 tiles can be decoded</translation>
    </message>
    <message>
        <source>网格中的图块大小不一</source>
        <translation>the tiles of the grid differ in size</translation>
    </message>
    <message>
        <source>解码后的图块将超过 %1 像素</source>
        <translation>the decoded tiles would hold more than %1 pixels</translation>
    </message>
    <message>
        <source>无法生成图片：%1</source>
        <translation>the picture cannot be made: %1</translation>
    </message>
    <message>
        <source>转换失败</source>
        <translation>the conversion failed</translation>
    </message>
    <message>
        <source>转换失败：%1</source>
        <translation>the conversion failed: %1</translation>
    </message>
    <message>
        <source>无法创建文件夹 %1：%2</source>
        <translation>cannot create the folder %1: %2</translation>
    </message>
    <message>
        <source>无法写入 %1：%2</source>
        <translation>cannot write %1: %2</translation>
    </message>
    <message>
        <source>没有那个文件或目录</source>
        <translation>No such file or directory</translation>
    </message>
    <message>
        <source>权限不够</source>
        <translation>Permission denied</translation>
    </message>
    <message>
        <source>设备上没有空间</source>
        <translation>No space left on device</translation>
    </message>
    <message>
        <source>只读文件系统</source>
        <translation>Read-only file system</translation>
    </message>
    <message>
        <source>是一个目录</source>
        <translation>Is a directory</translation>
    </message>
    <message>
        <source>输入/输出错误</source>
        <translation>Input/output error</translation>
    </message>
    <message>
        <source>超出磁盘限额</source>
        <translation>Disk quota exceeded</translation>
    </message>
</context>
<context>
    <name>FileTable</name>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>操作</source>
        <translation>Actions</translation>
    </message>
    <message>
        <source>预览</source>
        <translation>Preview</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>路径下找不到文件</source>
        <translation>File not found</translation>
    </message>
    <message>
        <source>文件转换失败</source>
        <translation>Conversion failed</translation>
    </message>
    <message>
        <source>文件不存在，保存失败！</source>
        <translation>Folder missing, not saved!</translation>
    </message>
    <message>
        <source>保存文件失败</source>
        <translation>Could not save the file</translation>
    </message>
    <message>
        <source>转换中...</source>
        <translation>Converting...</translation>
    </message>
    <message>
        <source>深度图</source>
        <translation>a depth map</translation>
    </message>
    <message>
        <source>视差图</source>
        <translation>a disparity map</translation>
    </message>
    <message>
        <source>HDR 增益图</source>
        <translation>an HDR gain map</translation>
    </message>
    <message>
        <source>透明通道</source>
        <translation>an alpha plane</translation>
    </message>
    <message>
        <source>其他附加图像</source>
        <translation>other auxiliary images</translation>
    </message>
    <message>
        <source>文件中还有：%1</source>
        <translation>The file also holds: %1</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>未转换</source>
        <translation>Not converted</translation>
    </message>
    <message>
        <source>已转换</source>
        <translation>Converted</translation>
    </message>
    <message>
        <source>转换失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>已跳过：文件已存在</source>
        <translation>Skipped: the file exists</translation>
    </message>
    <message>
        <source>预览、删除</source>
        <translation>Preview, Remove</translation>
    </message>
    <message numerus="yes">
        <source>%n 字节</source>
        <translation>
            <numerusform>%n byte</numerusform>
            <numerusform>%n bytes</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>另外 %n 张图像</source>
        <translation>
            <numerusform>%n more image</numerusform>
            <numerusform>%n more images</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n 帧的图像序列</source>
        <translation>
            <numerusform>an image sequence of %n frame</numerusform>
            <numerusform>an image sequence of %n frames</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>Log</name>
    <message>
        <source>【日志】[配置文件] 创建文件成功(%1)</source>
        <translation>[settings] created the settings file (%1)</translation>
    </message>
    <message>
        <source>【日志】[配置文件] 创建文件失败(%1)</source>
        <translation>[settings] cannot create the settings file (%1)</translation>
    </message>
    <message>
        <source>找到重复：%1</source>
        <translation>already listed: %1</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>关于我们</source>
        <translation>About Ambrel</translation>
    </message>
    <message>
        <source>检查更新…</source>
        <translation>Check for Updates…</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>发送使用统计</source>
        <translation>Send Usage Statistics</translation>
    </message>
</context>
<context>
    <name>PreviewWindow</name>
    <message>
        <source>无法显示这个文件</source>
        <translation>This file cannot be shown</translation>
    </message>
    <message>
        <source>文件不存在</source>
        <translation>The file does not exist</translation>
    </message>
    <message>
        <source>正在打开…</source>
        <translation>Opening…</translation>
    </message>
</context>
<context>
    <name>ViewController</name>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>请添加要转换HEIC文件！</source>
        <translation>Please add the HEIC files to convert!</translation>
    </message>
    <message>
        <source>文件正在转换中，无法删除！</source>
        <translation>Files are being converted; nothing can be removed now!</translation>
    </message>
    <message>
        <source>是否立即清空列表？</source>
        <translation>Clear the list now?</translation>
    </message>
    <message>
        <source>立即清空</source>
        <translation>Clear Now</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>转  换</source>
        <translation>&amp;Convert</translation>
    </message>
    <message>
        <source>停 止</source>
        <translation>&amp;Stop</translation>
    </message>
    <message>
        <source>停止中...</source>
        <translation>Stopping...</translation>
    </message>
    <message>
        <source>全部删除</source>
        <translation>Remove All</translation>
    </message>
    <message numerus="yes">
        <source>恭喜您，已经成功转换 %n 张图片</source>
        <translation>
            <numerusform>Done: %n photo converted</numerusform>
            <numerusform>Done: %n photos converted</numerusform>
        </translation>
    </message>
    <message>
        <source>HEIC 图片转换 · JPG  PNG  BMP  JPEG2000  TIFF  WEBP</source>
        <translation>HEIC picture converter · JPG  PNG  BMP  JPEG2000  TIFF  WebP</translation>
    </message>
    <message>
        <source>添加 HEIC 文件</source>
        <translation>Add HEIC Files</translation>
    </message>
    <message>
        <source>也可以把 HEIC 文件拖放到这里</source>
        <translation>or drop HEIC files here</translation>
    </message>
    <message>
        <source>＋ 添加文件</source>
        <translation>＋ &amp;Add Files</translation>
    </message>
    <message>
        <source>保留照片的 Exif 信息（不勾选时按照片方向旋转图像）</source>
        <translation>Keep the photo&apos;s Exif data (when off, the picture is turned upright instead)</translation>
    </message>
    <message>
        <source>输出格式</source>
        <translation>Format</translation>
    </message>
    <message>
        <source>缩放比例</source>
        <translation>Scale</translation>
    </message>
    <message>
        <source>图片质量</source>
        <translation>Quality</translation>
    </message>
    <message>
        <source>保存到原文件夹</source>
        <translation>Beside the source</translation>
    </message>
    <message>
        <source>保存到</source>
        <translation>Into</translation>
    </message>
    <message>
        <source>选择…</source>
        <translation>C&amp;hoose…</translation>
    </message>
    <message>
        <source>打开文件夹</source>
        <translation>&amp;Open Folder</translation>
    </message>
    <message>
        <source>保存位置</source>
        <translation>Save</translation>
    </message>
    <message numerus="yes">
        <source>%n 个文件转换失败，原因见该行的提示。</source>
        <translation>
            <numerusform>%n file failed; select its row to see why.</numerusform>
            <numerusform>%n files failed; select a row to see why.</numerusform>
        </translation>
    </message>
    <message>
        <source>无法保存到文件夹“%1”，请选择其他文件夹。</source>
        <translation>Files cannot be saved into the folder “%1”. Please choose another folder.</translation>
    </message>
    <message>
        <source>%1 / %2 · 已用 %3</source>
        <translation>%1 / %2 · %3 elapsed</translation>
    </message>
    <message>
        <source>%1 / %2 · 已用 %3 · 剩余约 %4</source>
        <translation>%1 / %2 · %3 elapsed · about %4 left</translation>
    </message>
    <message>
        <source>文件正在转换中。是否停止转换并退出？</source>
        <translation>Files are being converted. Stop converting and quit?</translation>
    </message>
    <message>
        <source>停止并退出</source>
        <translation>Stop and Quit</translation>
    </message>
    <message>
        <source>继续转换</source>
        <translation>Keep Converting</translation>
    </message>
    <message>
        <source>文件列表</source>
        <translation>Files</translation>
    </message>
    <message>
        <source>输出文件夹</source>
        <translation>Output folder</translation>
    </message>
    <message>
        <source>转换进度</source>
        <translation>Conversion progress</translation>
    </message>
    <message>
        <source>全部图像</source>
        <translation>All images</translation>
    </message>
    <message>
        <source>同时写出文件中的其他图像、深度图、增益图和图像序列的每一帧（文件名后加 _2、_depth、_gainmap、_f0001 等）；含有这些内容的文件在列表中有标记</source>
        <translation>Also write the file&apos;s other images, depth maps, gain maps and every frame of an image sequence (names end in _2, _depth, _gainmap, _f0001 and so on); files that hold them are marked in the list</translation>
    </message>
    <message>
        <source>最长边</source>
        <translation>Longest side</translation>
    </message>
    <message>
        <source>文件名</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>文件名后缀</source>
        <translation>Name suffix</translation>
    </message>
    <message>
        <source>同名文件</source>
        <translation>If the name exists</translation>
    </message>
    <message>
        <source>JPG、JPEG2000 和 WEBP 的质量；PNG、BMP 和 TIFF 总是无损的</source>
        <translation>The quality of JPG, JPEG2000 and WebP (100: lossless); PNG, BMP and TIFF are always lossless</translation>
    </message>
    <message>
        <source>WEBP</source>
        <translation>WebP</translation>
    </message>
    <message>
        <source>保留 HDR</source>
        <translation>Keep HDR</translation>
    </message>
    <message>
        <source>照片带有 HDR 增益图时，JPG 一并保存它，在 HDR 屏幕上以 HDR 显示；其他格式只写出普通图像</source>
        <translation>A photo&apos;s HDR gain map goes into the JPG too, so that HDR screens show it in HDR; other formats write the picture alone</translation>
    </message>
    <message>
        <source>不限</source>
        <translation>No limit</translation>
    </message>
    <message>
        <source> 像素</source>
        <translation> px</translation>
    </message>
    <message>
        <source>输出图片较长一边的最大像素数；只缩小，不放大</source>
        <translation>The most pixels on the output&apos;s longer side; pictures are made smaller, never larger</translation>
    </message>
    <message>
        <source>16 位</source>
        <translation>16-bit</translation>
    </message>
    <message>
        <source>PNG 和 TIFF 每个颜色通道 16 位</source>
        <translation>16 bits a colour channel for PNG and TIFF</translation>
    </message>
    <message>
        <source>保留日期</source>
        <translation>Keep dates</translation>
    </message>
    <message>
        <source>输出文件的修改时间与原文件相同</source>
        <translation>Each output gets its source&apos;s modification time</translation>
    </message>
    <message>
        <source>包括子文件夹</source>
        <translation>Subfolders</translation>
    </message>
    <message>
        <source>添加文件夹时也添加其子文件夹中的文件，并在输出文件夹中保持相同的结构</source>
        <translation>A folder added also gives the files of its subfolders, and the subfolders are mirrored in the output folder</translation>
    </message>
    <message>
        <source>原文件名_转换时间</source>
        <translation>Name + job time</translation>
    </message>
    <message>
        <source>原文件名</source>
        <translation>Original name</translation>
    </message>
    <message>
        <source>原文件名加后缀</source>
        <translation>Original name + suffix</translation>
    </message>
    <message>
        <source>后缀</source>
        <translation>suffix</translation>
    </message>
    <message>
        <source>另起新名</source>
        <translation>New name</translation>
    </message>
    <message>
        <source>跳过</source>
        <translation>Skip</translation>
    </message>
    <message>
        <source>替换</source>
        <translation>Replace</translation>
    </message>
    <message>
        <source>输出文件名已存在时：另起新名（_2、_3…）、跳过这张图片，或替换已有的文件</source>
        <translation>When the output&apos;s name is taken: a new name (_2, _3…), skip the photo, or replace the file</translation>
    </message>
    <message>
        <source>预览</source>
        <translation>Preview</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>，</source>
        <translation>, </translation>
    </message>
    <message>
        <source>：</source>
        <translation>: </translation>
    </message>
    <message numerus="yes">
        <source>%n 个文件</source>
        <translation>
            <numerusform>%n file</numerusform>
            <numerusform>%n files</numerusform>
        </translation>
    </message>
    <message>
        <source> · 已转换 %1</source>
        <translation> · %1 converted</translation>
    </message>
    <message>
        <source> · 失败 %1</source>
        <translation> · %1 failed</translation>
    </message>
    <message numerus="yes">
        <source>%n 个子文件夹未添加（可勾选“包括子文件夹”）</source>
        <translation>
            <numerusform>%n subfolder not added (tick “Subfolders”)</numerusform>
            <numerusform>%n subfolders not added (tick “Subfolders”)</numerusform>
        </translation>
    </message>
    <message>
        <source>没有文件</source>
        <translation>No Files</translation>
    </message>
    <message>
        <source>正在转换</source>
        <translation>Converting</translation>
    </message>
    <message>
        <source>清空列表</source>
        <translation>Clear the List</translation>
    </message>
    <message>
        <source>转换完成</source>
        <translation>Conversion Finished</translation>
    </message>
    <message>
        <source>转换已停止</source>
        <translation>Conversion Stopped</translation>
    </message>
    <message>
        <source>退出 Ambrel</source>
        <translation>Quit Ambrel</translation>
    </message>
    <message numerus="yes">
        <source>已转换 %n 张图片</source>
        <translation>
            <numerusform>%n photo converted</numerusform>
            <numerusform>%n photos converted</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>共写出 %n 个文件</source>
        <translation>
            <numerusform>%n file written</numerusform>
            <numerusform>%n files written</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n 张图片的输出文件已存在，已跳过</source>
        <translation>
            <numerusform>%n photo skipped: its output exists</numerusform>
            <numerusform>%n photos skipped: their outputs exist</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n 张图片未转换</source>
        <translation>
            <numerusform>%n photo not converted</numerusform>
            <numerusform>%n photos not converted</numerusform>
        </translation>
    </message>
    <message>
        <source>保存到原文件夹时，请先添加文件。</source>
        <translation>Outputs go beside their sources: add files first.</translation>
    </message>
    <message>
        <source>文件夹“%1”还不存在，转换时会创建它。</source>
        <translation>The folder “%1” does not exist yet; the conversion will create it.</translation>
    </message>
    <message>
        <source>无法打开文件夹“%1”。</source>
        <translation>The folder “%1” cannot be opened.</translation>
    </message>
    <message>
        <source>打开输出文件夹</source>
        <translation>Open the Output Folder</translation>
    </message>
    <message>
        <source>只显示失败的文件</source>
        <translation>Failed only</translation>
    </message>
</context>
</TS>
