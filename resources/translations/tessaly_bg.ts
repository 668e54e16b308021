<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="bg_BG" sourcelanguage="en_US">
<context>
    <name>AboutDialog</name>
    <message>
        <source>About Veskora Tessaly</source>
        <translation>За Veskora Tessaly</translation>
    </message>
    <message>
        <source>Tessaly %1</source>
        <translation>Tessaly %1</translation>
    </message>
    <message>
        <source>Smart card management tool</source>
        <translation>Програма за управление на смарт карти</translation>
    </message>
    <message>
        <source>&lt;!DOCTYPE HTML PUBLIC &quot;-//W3C//DTD HTML 4.0//EN&quot; &quot;http://www.w3.org/TR/REC-html40/strict.dtd&quot;&gt;&lt;html&gt;&lt;body&gt;&lt;p&gt;&lt;a href=&quot;https://www.veskora.example/&quot;&gt;&lt;span style=&quot; text-decoration: underline;&quot;&gt;Veskora on the web&lt;/span&gt;&lt;/a&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;!DOCTYPE HTML PUBLIC &quot;-//W3C//DTD HTML 4.0//EN&quot; &quot;http://www.w3.org/TR/REC-html40/strict.dtd&quot;&gt;&lt;html&gt;&lt;body&gt;&lt;p&gt;&lt;a href=&quot;https://www.veskora.example/&quot;&gt;&lt;span style=&quot; text-decoration: underline;&quot;&gt;Veskora в интернет&lt;/span&gt;&lt;/a&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>License</source>
        <translation>Лиценз</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Затвори</translation>
    </message>
    <message>
        <source>No web browser could be started. The address is:
%1</source>
        <translation>Не може да бъде стартиран уеб браузър. Адресът е:
%1</translation>
    </message>
</context>
<context>
    <name>AddProviderDialog</name>
    <message>
        <source>Add PKCS#11 Device</source>
        <translation>Добавяне на PKCS#11 устройство</translation>
    </message>
    <message>
        <source>Enter the information for the module you want to add</source>
        <translation>Въведете данните за модула, който искате да добавите</translation>
    </message>
    <message>
        <source>Description:</source>
        <translation>Описание:</translation>
    </message>
    <message>
        <source>Module:</source>
        <translation>Модул:</translation>
    </message>
    <message>
        <source>Browse...</source>
        <translation>Преглед...</translation>
    </message>
    <message>
        <source>Add Device</source>
        <translation>Добавяне на устройство</translation>
    </message>
    <message>
        <source>Please enter module description.</source>
        <translation>Моля, въведете описание на модула.</translation>
    </message>
    <message>
        <source>Please enter module.</source>
        <translation>Моля, въведете модул.</translation>
    </message>
    <message>
        <source>Choose PKCS#11 module</source>
        <translation>Изберете PKCS#11 модул</translation>
    </message>
    <message>
        <source>Shared Objects (*.so)</source>
        <translation>Споделени библиотеки (*.so)</translation>
    </message>
</context>
<context>
    <name>BrannickDialog</name>
    <message>
        <source>Initialize Card</source>
        <translation>Инициализиране на карта</translation>
    </message>
    <message>
        <source>Enter SO-PIN:</source>
        <translation>Въведете АИН (SO-PIN):</translation>
    </message>
    <message>
        <source>NOTE: If this is the first initialization of the card, the entered PIN will become the SO PIN, otherwise it&apos;s needed to initialize the card. </source>
        <translation>ЗАБЕЛЕЖКА: Ако картата се инициализира за първи път, въведеният ПИН ще стане неин АИН (SO PIN); иначе той е нужен, за да се инициализира картата. </translation>
    </message>
    <message>
        <source>Advanced options (optional):</source>
        <translation>Допълнителни настройки (по желание):</translation>
    </message>
    <message>
        <source>Card label:</source>
        <translation>Етикет на картата:</translation>
    </message>
    <message>
        <source>Veskora</source>
        <translation>Veskora</translation>
    </message>
    <message>
        <source>New SO-PIN:</source>
        <translation>Нов АИН (SO-PIN):</translation>
    </message>
    <message>
        <source>New PIN:</source>
        <translation>Нов ПИН:</translation>
    </message>
    <message>
        <source>1234</source>
        <translation>1234</translation>
    </message>
    <message>
        <source>Generate</source>
        <translation>Генериране</translation>
    </message>
    <message>
        <source>Invalid PIN</source>
        <translation>Невалиден ПИН</translation>
    </message>
    <message>
        <source>The PIN length should be between %1 and %2 symbols.</source>
        <translation>Дължината на ПИН трябва да е между %1 и %2 символа.</translation>
    </message>
    <message>
        <source>The PIN holds a character that the card can not take.
Please use Latin letters, digits and punctuation only.</source>
        <translation>ПИН съдържа знак, който картата не приема.
Моля, използвайте само латински букви, цифри и пунктуационни знаци.</translation>
    </message>
    <message>
        <source>Invalid label</source>
        <translation>Невалиден етикет</translation>
    </message>
    <message>
        <source>The card label can not be empty.</source>
        <translation>Етикетът на картата не може да е празен.</translation>
    </message>
    <message>
        <source>The card label takes %1 bytes, but the card holds at most %2.
A Cyrillic letter takes two bytes.</source>
        <translation>Етикетът на картата заема %1 байта, а картата побира най-много %2.
Всяка буква на кирилица заема два байта.</translation>
    </message>
    <message>
        <source>The card can not be initialized without the SO-PIN.
Please enter it first.</source>
        <translation>Картата не може да бъде инициализирана без АИН (SO-PIN).
Моля, първо го въведете.</translation>
    </message>
</context>
<context>
    <name>CASN1Name</name>
    <message>
        <source>The certificate request cannot be encoded: %1</source>
        <translation>Заявката за сертификат не може да бъде кодирана: %1</translation>
    </message>
    <message>
        <source>Certificate requests can be made only for RSA and DSA keys.</source>
        <translation>Заявки за сертификат могат да се правят само за RSA и DSA ключове.</translation>
    </message>
    <message>
        <source>The public key of the pair is not of the same kind as its private key.</source>
        <translation>Публичният ключ на двойката не е от същия вид като нейния частен ключ.</translation>
    </message>
    <message>
        <source>The value of the attribute %1 cannot be written in its string type.</source>
        <translation>Стойността на атрибута %1 не може да бъде записана в своя низов тип.</translation>
    </message>
</context>
<context>
    <name>CCertificateFile</name>
    <message>
        <source>Unable to open the specified file.</source>
        <translation>Указаният файл не може да бъде отворен.</translation>
    </message>
    <message>
        <source>The specified file is not a regular file.</source>
        <translation>Указаният файл не е обикновен файл.</translation>
    </message>
    <message>
        <source>The specified file is empty.</source>
        <translation>Указаният файл е празен.</translation>
    </message>
    <message>
        <source>The specified file is too large to be a certificate.</source>
        <translation>Указаният файл е твърде голям, за да бъде сертификат.</translation>
    </message>
    <message>
        <source>Unable to read the specified file.</source>
        <translation>Указаният файл не може да бъде прочетен.</translation>
    </message>
    <message>
        <source>Unable to write the specified file.</source>
        <translation>Указаният файл не може да бъде записан.</translation>
    </message>
</context>
<context>
    <name>CPolicySchema</name>
    <message>
        <source>The template file holds no certificate policy.</source>
        <translation>Файлът с шаблона не съдържа нито една политика за сертификати.</translation>
    </message>
    <message>
        <source>A certificate policy of the template file has no identifier.</source>
        <translation>Политика за сертификати във файла с шаблона няма идентификатор.</translation>
    </message>
    <message>
        <source>The template file holds the policy %1 more than once.</source>
        <translation>Файлът с шаблона съдържа политиката %1 повече от веднъж.</translation>
    </message>
    <message>
        <source>The resource file has no caption for the policy %1.</source>
        <translation>Файлът с ресурсите няма заглавие за политиката %1.</translation>
    </message>
    <message>
        <source>The policy %1 asks for a new DSA key pair; only RSA key pairs can be generated.</source>
        <translation>Политиката %1 изисква нова DSA двойка ключове; могат да се генерират само RSA двойки ключове.</translation>
    </message>
    <message>
        <source>The key sizes of the policy %1 are not usable: %2</source>
        <translation>Дължините на ключа в политиката %1 не могат да се използват: %2</translation>
    </message>
    <message>
        <source>%1 bits is outside %2 to %3 bits.</source>
        <translation>%1 бита е извън границите от %2 до %3 бита.</translation>
    </message>
    <message>
        <source>the smallest size (%1 bits) is above the largest (%2 bits).</source>
        <translation>най-малката дължина (%1 бита) е над най-голямата (%2 бита).</translation>
    </message>
    <message>
        <source>%1 to %2 bits is outside %3 to %4 bits.</source>
        <translation>от %1 до %2 бита е извън границите от %3 до %4 бита.</translation>
    </message>
    <message>
        <source>A subject field of the policy %1 has no OID.</source>
        <translation>Поле на субекта в политиката %1 няма OID.</translation>
    </message>
    <message>
        <source>The subject field &quot;%1&quot; of the policy %2 is not named by an OID (%3).</source>
        <translation>Полето на субекта „%1“ в политиката %2 не е означено с OID (%3).</translation>
    </message>
    <message>
        <source>The policy %1 stands inside the policy %2; policies do not nest (%3).</source>
        <translation>Политиката %1 стои вътре в политиката %2; политиките не се влагат една в друга (%3).</translation>
    </message>
    <message>
        <source>The policy %1 asks for the subject field %2 more than once.</source>
        <translation>Политиката %1 изисква полето на субекта %2 повече от веднъж.</translation>
    </message>
    <message>
        <source>The subject field %1 of the policy %2 has a minimal length above its maximal length.</source>
        <translation>Полето на субекта %1 в политиката %2 има минимална дължина, по-голяма от максималната.</translation>
    </message>
    <message>
        <source>The resource file has no entries for the list %1 of the subject field %2.</source>
        <translation>Файлът с ресурсите няма елементи за списъка %1 на полето на субекта %2.</translation>
    </message>
    <message>
        <source>line %1, column %2</source>
        <translation>ред %1, колона %2</translation>
    </message>
    <message>
        <source>Could not open the template file.</source>
        <translation>Файлът с шаблона не може да бъде отворен.</translation>
    </message>
    <message>
        <source>Could not open the resource file.</source>
        <translation>Файлът с ресурсите не може да бъде отворен.</translation>
    </message>
    <message>
        <source>The template file is not well-formed XML (%1).</source>
        <translation>Файлът с шаблона не е правилно оформен XML (%1).</translation>
    </message>
    <message>
        <source>The resource file is not well-formed XML (%1).</source>
        <translation>Файлът с ресурсите не е правилно оформен XML (%1).</translation>
    </message>
    <message>
        <source>The policy file is larger than %1 MB.</source>
        <translation>Файлът с политиките е по-голям от %1 МБ.</translation>
    </message>
    <message>
        <source>The policy file holds a text longer than %1 characters (%2).</source>
        <translation>Файлът с политиките съдържа текст, по-дълъг от %1 знака (%2).</translation>
    </message>
    <message>
        <source>The policy file nests its elements deeper than %1 levels (%2).</source>
        <translation>Файлът с политиките влага елементите си на повече от %1 нива (%2).</translation>
    </message>
    <message>
        <source>The policy file declares the external entity &quot;%1&quot;, which is not read (%2).</source>
        <translation>Файлът с политиките обявява външния обект &quot;%1&quot;, който не се чете (%2).</translation>
    </message>
    <message>
        <source>The policy file uses the entity &quot;%1&quot;, which it does not define (%2).</source>
        <translation>Файлът с политиките използва обекта &quot;%1&quot;, който не е определен в него (%2).</translation>
    </message>
    <message>
        <source>The entities of the policy file expand to more than %1 characters (%2).</source>
        <translation>Обектите на файла с политиките се разгръщат до повече от %1 знака (%2).</translation>
    </message>
</context>
<context>
    <name>CRequestCheck</name>
    <message>
        <source>The certificate request is empty.</source>
        <translation>Заявката за сертификат е празна.</translation>
    </message>
    <message>
        <source>The certificate request cannot be read.</source>
        <translation>Заявката за сертификат не може да бъде прочетена.</translation>
    </message>
    <message>
        <source>The certificate request is followed by other data.</source>
        <translation>След заявката за сертификат има други данни.</translation>
    </message>
    <message>
        <source>The certificate request carries no usable public key.</source>
        <translation>Заявката за сертификат не съдържа използваем публичен ключ.</translation>
    </message>
    <message>
        <source>The signature algorithm of the certificate request does not fit its public key.</source>
        <translation>Алгоритъмът на подписа на заявката за сертификат не отговаря на публичния ѝ ключ.</translation>
    </message>
    <message>
        <source>The signature of the certificate request does not match the public key it carries.</source>
        <translation>Подписът на заявката за сертификат не съответства на публичния ключ в нея.</translation>
    </message>
    <message>
        <source>The certificate cannot be read.</source>
        <translation>Сертификатът не може да бъде прочетен.</translation>
    </message>
    <message>
        <source>The certificate carries the public key of another key pair.</source>
        <translation>Сертификатът съдържа публичния ключ на друга двойка ключове.</translation>
    </message>
</context>
<context>
    <name>CSettings</name>
    <message>
        <source>it is not a regular file</source>
        <translation>не е обикновен файл</translation>
    </message>
</context>
<context>
    <name>CXmlQuery</name>
    <message>
        <source>line %1, column %2</source>
        <translation>ред %1, колона %2</translation>
    </message>
    <message>
        <source>Could not open the template file.</source>
        <translation>Файлът с шаблона не може да бъде отворен.</translation>
    </message>
    <message>
        <source>The template file is not well-formed XML (%1).</source>
        <translation>Файлът с шаблона не е правилно оформен XML (%1).</translation>
    </message>
    <message>
        <source>Could not open the resource file.</source>
        <translation>Файлът с ресурсите не може да бъде отворен.</translation>
    </message>
    <message>
        <source>The resource file is not well-formed XML (%1).</source>
        <translation>Файлът с ресурсите не е правилно оформен XML (%1).</translation>
    </message>
    <message>
        <source>The policy file cannot be read.</source>
        <translation>Файлът с политиките не може да бъде прочетен.</translation>
    </message>
</context>
<context>
    <name>CertRequestDialog</name>
    <message>
        <source>Generate Certificate Request</source>
        <translation>Създаване на заявка за сертификат</translation>
    </message>
    <message>
        <source>1. Select certificate type</source>
        <translation>1. Изберете вид сертификат</translation>
    </message>
    <message>
        <source>2. Select a key-pair</source>
        <translation>2. Изберете двойка ключове</translation>
    </message>
    <message>
        <source>2. Select key length</source>
        <translation>2. Изберете дължина на ключа</translation>
    </message>
    <message>
        <source>(bits)</source>
        <translation>(бита)</translation>
    </message>
    <message>
        <source>3. Please fill the following information</source>
        <translation>3. Моля, попълнете следните данни</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отказ</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>Добре</translation>
    </message>
    <message>
        <source>The certificate policy cannot be shown.</source>
        <translation>Политиката за сертификати не може да бъде показана.</translation>
    </message>
    <message>
        <source>The certificate policy &quot;%1&quot; cannot be used.</source>
        <translation>Политиката за сертификати „%1“ не може да бъде използвана.</translation>
    </message>
    <message>
        <source>Keys Not Found</source>
        <translation>Няма намерени ключове</translation>
    </message>
    <message>
        <source>The active card does not contain proper keys.</source>
        <translation>Активната карта не съдържа подходящи ключове.</translation>
    </message>
    <message>
        <source>Its key pairs of other types, such as EC key pairs, are not supported for a request: only RSA and DSA keys are.</source>
        <translation>Двойките ключове от други видове, например EC, не се поддържат за заявка: поддържат се само RSA и DSA ключове.</translation>
    </message>
    <message>
        <source>Unable to generate certificate request.</source>
        <translation>Заявката за сертификат не може да бъде създадена.</translation>
    </message>
    <message>
        <source>Unable to generate key-pair.</source>
        <translation>Двойката ключове не може да бъде генерирана.</translation>
    </message>
    <message>
        <source>Choose a key length.</source>
        <translation>Изберете дължина на ключа.</translation>
    </message>
    <message>
        <source>Generating key-pair...</source>
        <translation>Генериране на двойка ключове...</translation>
    </message>
    <message>
        <source>The subject name is empty. Please fill in the fields of the request.</source>
        <translation>Името на субекта е празно. Моля, попълнете полетата на заявката.</translation>
    </message>
    <message>
        <source>The public key of the key pair is not on the token.</source>
        <translation>Публичният ключ на двойката ключове не е на токена.</translation>
    </message>
    <message>
        <source>(no label)</source>
        <translation>(без етикет)</translation>
    </message>
</context>
<context>
    <name>CertViewDialog</name>
    <message>
        <source>Certificate View</source>
        <translation>Преглед на сертификат</translation>
    </message>
    <message>
        <source>Property</source>
        <translation>Свойство</translation>
    </message>
    <message>
        <source>Value</source>
        <translation>Стойност</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Версия</translation>
    </message>
    <message>
        <source>Serial No</source>
        <translation>Сериен номер</translation>
    </message>
    <message>
        <source>Issuer</source>
        <translation>Издател</translation>
    </message>
    <message>
        <source>Valid from</source>
        <translation>Валиден от</translation>
    </message>
    <message>
        <source>Valid to</source>
        <translation>Валиден до</translation>
    </message>
    <message>
        <source>Subject</source>
        <translation>Субект</translation>
    </message>
    <message>
        <source>Public key</source>
        <translation>Публичен ключ</translation>
    </message>
</context>
<context>
    <name>ChangePINDialog</name>
    <message>
        <source>Change PIN/AIN</source>
        <translation>Смяна на PIN/AIN</translation>
    </message>
    <message>
        <source>Select PIN to change:</source>
        <translation>Изберете PIN за смяна:</translation>
    </message>
    <message>
        <source>Enter current PIN:</source>
        <translation>Въведете текущия PIN:</translation>
    </message>
    <message>
        <source>Enter new PIN:</source>
        <translation>Въведете нов PIN:</translation>
    </message>
    <message>
        <source>Re-enter new PIN:</source>
        <translation>Въведете отново новия PIN:</translation>
    </message>
    <message>
        <source>User PIN</source>
        <translation>Потребителски PIN</translation>
    </message>
    <message>
        <source>Administrative PIN</source>
        <translation>Администраторски PIN</translation>
    </message>
</context>
<context>
    <name>DownloadCertDialog</name>
    <message>
        <source>Download Certificates</source>
        <translation>Изтегляне на сертификати</translation>
    </message>
    <message>
        <source>Checking certificate request(s) status, please wait ...</source>
        <translation>Проверка на състоянието на заявката(ите) за сертификат, моля изчакайте ...</translation>
    </message>
    <message>
        <source>Key</source>
        <translation>Ключ</translation>
    </message>
    <message>
        <source>Request Status</source>
        <translation>Състояние на заявката</translation>
    </message>
    <message>
        <source>If you have questions about the status of your request, please contact Veskora.</source>
        <translation>Ако имате въпроси относно състоянието на вашата заявка, моля свържете се с Veskora.</translation>
    </message>
</context>
<context>
    <name>ErrorReportWizard</name>
    <message>
        <source>Send Error Report</source>
        <translation>Изпращане на доклад за грешка</translation>
    </message>
    <message>
        <source>The program has encountered an error.</source>
        <translation>В програмата възникна грешка.</translation>
    </message>
    <message>
        <source>Please tell Veskora about the problem.</source>
        <translation>Моля, съобщете на Veskora за проблема.</translation>
    </message>
    <message>
        <source>We have generated an error report that you can send us, so we can help you solve the problem.</source>
        <translation>Създадохме доклад за грешката, който можете да ни изпратите, за да ви помогнем да решите проблема.</translation>
    </message>
    <message>
        <source>Please provide the following information</source>
        <translation>Моля, попълнете следната информация</translation>
    </message>
    <message>
        <source>Feedback e-mail:</source>
        <translation>Електронна поща за обратна връзка:</translation>
    </message>
    <message>
        <source>&lt;span style=&quot; color:#ff0000;&quot;&gt;Invalid e-mail address.&lt;/span&gt;</source>
        <translation>&lt;span style=&quot; color:#ff0000;&quot;&gt;Невалиден адрес на електронна поща.&lt;/span&gt;</translation>
    </message>
    <message>
        <source>Your comments (optional):</source>
        <translation>Вашите коментари (по желание):</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Подробности</translation>
    </message>
    <message>
        <source>Send</source>
        <translation>Изпрати</translation>
    </message>
</context>
<context>
    <name>Language code by ISO 639-1</name>
    <message>
        <source>en</source>
        <translation>bg</translation>
    </message>
</context>
<context>
    <name>Language name and code</name>
    <message>
        <source>POSIX (C)</source>
        <translation>Български (БГ)</translation>
    </message>
</context>
<context>
    <name>LicenseDialog</name>
    <message>
        <source>License</source>
        <translation>Лиценз</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Затвори</translation>
    </message>
    <message>
        <source>LicenseEN.html</source>
        <translation>LicenseBG.html</translation>
    </message>
</context>
<context>
    <name>LoginDialog</name>
    <message>
        <source>Login</source>
        <translation>Вход</translation>
    </message>
    <message>
        <source>Select user:</source>
        <translation>Изберете потребител:</translation>
    </message>
    <message>
        <source>User</source>
        <translation>Потребител</translation>
    </message>
    <message>
        <source>Administrator</source>
        <translation>Администратор</translation>
    </message>
    <message>
        <source>Enter the corresponding PIN:</source>
        <translation>Въведете съответния PIN:</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>The computer has insufficient memory to perform the requested function.</source>
        <translation>Компютърът няма достатъчно памет, за да изпълни исканата функция.</translation>
    </message>
    <message>
        <source>Some unrecoverable error has occurred.</source>
        <translation>Възникна непоправима грешка.</translation>
    </message>
    <message>
        <source>The requested operation could not be performed.</source>
        <translation>Исканата операция не можа да бъде изпълнена.</translation>
    </message>
    <message>
        <source>Some problem has occurred with the smart-card and/or slot</source>
        <translation>Възникна проблем със смарт картата и/или четеца</translation>
    </message>
    <message>
        <source>The smart-card does not have sufficient memory to perform the requested operation.</source>
        <translation>Смарт картата няма достатъчно памет, за да изпълни исканата операция.</translation>
    </message>
    <message>
        <source>The active smart-card was removed from its reader.</source>
        <translation>Активната смарт карта беше извадена от четеца.</translation>
    </message>
    <message>
        <source>The requested operation is not supported by this token.</source>
        <translation>Исканата операция не се поддържа от тази карта.</translation>
    </message>
    <message>
        <source>There is already an active operation.</source>
        <translation>Вече има активна операция.</translation>
    </message>
    <message>
        <source>The specified PIN is incorrect.</source>
        <translation>Въведеният PIN е грешен.</translation>
    </message>
    <message>
        <source>The specified PIN has invalid characters in it.</source>
        <translation>Въведеният PIN съдържа невалидни символи.</translation>
    </message>
    <message>
        <source>The specified PIN has expired.</source>
        <translation>Валидността на въведения PIN е изтекла.</translation>
    </message>
    <message>
        <source>The specified PIN is blocked, and cannot be used.</source>
        <translation>Въведеният PIN е блокиран и не може да бъде използван.</translation>
    </message>
    <message>
        <source>The session was closed during the execution of the function.</source>
        <translation>Сесията беше затворена по време на изпълнението на функцията.</translation>
    </message>
    <message>
        <source>The specified session was unable to accomplish the desired action because it is a read-only session.</source>
        <translation>Сесията не можа да изпълни исканото действие, защото е само за четене.</translation>
    </message>
    <message>
        <source>A session with the smart-card is already open.</source>
        <translation>Вече има отворена сесия със смарт картата.</translation>
    </message>
    <message>
        <source>A read-only session already exists, and so the administrative user cannot be logged in.</source>
        <translation>Вече има сесия само за четене, затова администраторът не може да влезе.</translation>
    </message>
    <message>
        <source>A read/write SO session already exists, and so a read-only session cannot be opened.</source>
        <translation>Вече има администраторска сесия за четене и запис, затова не може да се отвори сесия само за четене.</translation>
    </message>
    <message>
        <source>A smart-card is not present in the reader.</source>
        <translation>В четеца няма смарт карта.</translation>
    </message>
    <message>
        <source>The smart-card in the slot is not recognised.</source>
        <translation>Смарт картата в четеца не е разпозната.</translation>
    </message>
    <message>
        <source>The requested operation could not be performed because the smart-card is write-protected.</source>
        <translation>Исканата операция не можа да бъде изпълнена, защото смарт картата е защитена срещу запис.</translation>
    </message>
    <message>
        <source>The specified user is already logged in.</source>
        <translation>Потребителят вече е влязъл.</translation>
    </message>
    <message>
        <source>The desired operation cannot be performed because an appropriate user is not logged in.</source>
        <translation>Исканата операция не може да бъде изпълнена, защото не е влязъл подходящ потребител.</translation>
    </message>
    <message>
        <source>The normal user&apos;s PIN has not yet been initialized.</source>
        <translation>PIN кодът на потребителя все още не е зададен.</translation>
    </message>
    <message>
        <source>Another user is already logged in.</source>
        <translation>Вече е влязъл друг потребител.</translation>
    </message>
    <message>
        <source>Too many users are simultaneously logged into the token.</source>
        <translation>Твърде много потребители са влезли едновременно в картата.</translation>
    </message>
    <message>
        <source>The selected file is not a valid digital certificate.</source>
        <translation>Избраният файл не е валиден цифров сертификат.</translation>
    </message>
    <message>
        <source>The selected certificate doesn&apos;t have corresponding keys on this card.</source>
        <translation>Избраният сертификат няма съответстващи ключове в тази карта.</translation>
    </message>
    <message>
        <source>A certificate for this key-pair already exists on the card.</source>
        <translation>В картата вече има сертификат за тази двойка ключове.</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Файл</translation>
    </message>
    <message>
        <source>Edit</source>
        <translation>Редактиране</translation>
    </message>
    <message>
        <source>Smart-card</source>
        <translation>Смарт карта</translation>
    </message>
    <message>
        <source>Key</source>
        <translation>Ключ</translation>
    </message>
    <message>
        <source>Certificate</source>
        <translation>Сертификат</translation>
    </message>
    <message>
        <source>Data</source>
        <translation>Данни</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Помощ</translation>
    </message>
    <message>
        <source>Reload</source>
        <translation>Презареди</translation>
    </message>
    <message>
        <source>Reload the active provider.</source>
        <translation>Презарежда активния доставчик.</translation>
    </message>
    <message>
        <source>F5</source>
        <translation>F5</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Изход</translation>
    </message>
    <message>
        <source>Close the application.</source>
        <translation>Затваря програмата.</translation>
    </message>
    <message>
        <source>Preferences</source>
        <translation>Настройки</translation>
    </message>
    <message>
        <source>Modify the program settings.</source>
        <translation>Промяна на настройките на програмата.</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Относно</translation>
    </message>
    <message>
        <source>Information about this program.</source>
        <translation>Информация за програмата.</translation>
    </message>
    <message>
        <source>Change PIN/AIN</source>
        <translation>Смяна на PIN/AIN</translation>
    </message>
    <message>
        <source>Change token PINs</source>
        <translation>Смяна на PIN кодовете на картата</translation>
    </message>
    <message>
        <source>Export...</source>
        <translation>Експорт...</translation>
    </message>
    <message>
        <source>Export the selected certificate to the filesystem</source>
        <translation>Записва избрания сертификат във файл</translation>
    </message>
    <message>
        <source>View</source>
        <translation>Преглед</translation>
    </message>
    <message>
        <source>View the selected certificate</source>
        <translation>Преглед на избрания сертификат</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>Изтрий</translation>
    </message>
    <message>
        <source>Delete the selected object</source>
        <translation>Изтрива избрания обект</translation>
    </message>
    <message>
        <source>Del</source>
        <translation>Del</translation>
    </message>
    <message>
        <source>Import certificate ... </source>
        <translation>Импорт на сертификат ... </translation>
    </message>
    <message>
        <source>Import external certificate to the selected token</source>
        <translation>Импортира външен сертификат в избраната карта</translation>
    </message>
    <message>
        <source>Test</source>
        <translation>Тест</translation>
    </message>
    <message>
        <source>Test if the selected smart-card works fine.</source>
        <translation>Проверява дали избраната смарт карта работи правилно.</translation>
    </message>
    <message>
        <source>Login</source>
        <translation>Вход</translation>
    </message>
    <message>
        <source>Display login dialog</source>
        <translation>Показва прозореца за вход</translation>
    </message>
    <message>
        <source>Ctrl+L</source>
        <translation>Ctrl+L</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Изход от картата</translation>
    </message>
    <message>
        <source>Logout the active user</source>
        <translation>Изход на текущия потребител</translation>
    </message>
    <message>
        <source>Unblock PIN</source>
        <translation>Отблокиране на PIN</translation>
    </message>
    <message>
        <source>Initialize</source>
        <translation>Инициализиране</translation>
    </message>
    <message>
        <source>Initialize the selected token</source>
        <translation>Инициализира избраната карта</translation>
    </message>
    <message>
        <source>Test if the selected certificate works fine.</source>
        <translation>Проверява дали избраният сертификат работи правилно.</translation>
    </message>
    <message>
        <source>Test if the selected key pair works fine.</source>
        <translation>Проверява дали избраната ключова двойка работи правилно.</translation>
    </message>
    <message>
        <source>Switch Style</source>
        <translation>Смяна на стила</translation>
    </message>
    <message>
        <source>Switch Application Style</source>
        <translation>Сменя стила на програмата</translation>
    </message>
    <message>
        <source>Ctrl+Alt+R</source>
        <translation>Ctrl+Alt+R</translation>
    </message>
    <message>
        <source>Request certificate</source>
        <translation>Заявка за сертификат</translation>
    </message>
    <message>
        <source>Request a digital certificate from Veskora</source>
        <translation>Заявява цифров сертификат от Veskora</translation>
    </message>
    <message>
        <source>Download certificate(s)</source>
        <translation>Изтегляне на сертификат(и)</translation>
    </message>
    <message>
        <source>Downloads the available certificate(s)</source>
        <translation>Изтегля наличните сертификат(и)</translation>
    </message>
    <message>
        <source>Loading settings...</source>
        <translation>Зареждане на настройките...</translation>
    </message>
    <message>
        <source>Unable to load the providers.</source>
        <translation>Доставчиците не могат да бъдат заредени.</translation>
    </message>
    <message>
        <source>No PKCS#11 modules installed.
To install new security device go to Edit-&gt;Preferences</source>
        <translation>Няма инсталирани PKCS#11 модули.
За да инсталирате ново устройство за сигурност, изберете Редактиране-&gt;Настройки</translation>
    </message>
    <message>
        <source>Loading provider %1...</source>
        <translation>Зареждане на доставчик %1...</translation>
    </message>
    <message>
        <source>The file %1 is not a PKCS#11 module.</source>
        <translation>Файлът %1 не е модул PKCS#11.</translation>
    </message>
    <message>
        <source>Its module file %1 is not a regular file; only regular files are loaded.</source>
        <translation>Файлът на модула му %1 не е обикновен файл; зареждат се само обикновени файлове.</translation>
    </message>
    <message>
        <source>The system could not load its module: %1</source>
        <translation>Системата не можа да зареди модула му: %1</translation>
    </message>
    <message>
        <source>The provider %1 could not be loaded.</source>
        <translation>Доставчикът %1 не можа да бъде зареден.</translation>
    </message>
    <message>
        <source>The settings cannot be saved to %1: %2.
What you change now (providers, the language, a message you turn off) is lost when tessaly closes.</source>
        <translation>Настройките не могат да бъдат записани в %1: %2.
Това, което промените сега (доставчици, език, съобщение, което изключите), ще бъде загубено при затваряне на tessaly.</translation>
    </message>
    <message>
        <source>Unable to open session with token</source>
        <translation>Не може да бъде отворена сесия с токена</translation>
    </message>
    <message>
        <source>Certificate(%1)</source>
        <translation>Сертификат(%1)</translation>
    </message>
    <message>
        <source>Public key(%1)</source>
        <translation>Публичен ключ(%1)</translation>
    </message>
    <message>
        <source>Private key(%1)</source>
        <translation>Частен ключ(%1)</translation>
    </message>
    <message>
        <source>Unable to reload the provider.</source>
        <translation>Доставчикът не може да бъде презареден.</translation>
    </message>
    <message>
        <source>Unable to show the provider.</source>
        <translation>Доставчикът не може да бъде показан.</translation>
    </message>
    <message>
        <source>Unable to read the card.</source>
        <translation>Картата не може да бъде прочетена.</translation>
    </message>
    <message>
        <source>Reading card, please wait...</source>
        <translation>Четене на картата, моля изчакайте...</translation>
    </message>
    <message>
        <source>Unable to show the warning.</source>
        <translation>Предупреждението не може да бъде показано.</translation>
    </message>
    <message>
        <source>The provider %1 doesn&apos;t support slot events.
Please note that you&apos;ll have to reload it manually every time you insert or remove cards.
You can do that by choosing Edit-&gt;Reload from the main menu.</source>
        <translation>Доставчикът %1 не поддържа събития на слотовете.
Ще трябва да го презареждате ръчно всеки път, когато поставите или извадите карта.
Можете да направите това с Редактиране-&gt;Презареди от главното меню.</translation>
    </message>
    <message>
        <source>Unable to view the certificate.</source>
        <translation>Сертификатът не може да бъде показан.</translation>
    </message>
    <message>
        <source>Freeing providers...</source>
        <translation>Освобождаване на доставчиците...</translation>
    </message>
    <message>
        <source>Saving settings...</source>
        <translation>Запазване на настройките...</translation>
    </message>
    <message>
        <source>Unable to initialize card.</source>
        <translation>Картата не може да бъде инициализирана.</translation>
    </message>
    <message>
        <source>Initialize Card</source>
        <translation>Инициализиране на карта</translation>
    </message>
    <message>
        <source>By initialising the card you will erase all the information it contains.
Are you sure you want to continue?</source>
        <translation>При инициализирането на картата цялата информация на нея ще бъде изтрита.
Сигурни ли сте, че искате да продължите?</translation>
    </message>
    <message>
        <source>Initializing card, please wait...</source>
        <translation>Картата се инициализира, моля изчакайте...</translation>
    </message>
    <message>
        <source>Unable to open session.</source>
        <translation>Не може да бъде отворена сесия.</translation>
    </message>
    <message>
        <source>Unable to login.</source>
        <translation>Неуспешен вход.</translation>
    </message>
    <message>
        <source>The module answered %1.</source>
        <translation>Модулът отговори с %1.</translation>
    </message>
    <message>
        <source>The smart-card is write-protected and was opened read-only.</source>
        <translation>Смарт картата е защитена срещу запис и е отворена само за четене.</translation>
    </message>
    <message>
        <source>The smart-card does not require a login.</source>
        <translation>Смарт картата не изисква вход.</translation>
    </message>
    <message>
        <source>The program can sign only with RSA and DSA keys.</source>
        <translation>Програмата може да подписва само с RSA и DSA ключове.</translation>
    </message>
    <message>
        <source>The card was removed or replaced. Please select the token again.</source>
        <translation>Картата беше извадена или сменена. Моля, изберете токена отново.</translation>
    </message>
    <message>
        <source>The provider %1 did not answer when it was closed.
It was left as it is; tessaly goes on without it.</source>
        <translation>Доставчикът %1 не отговори при затварянето си.
Той беше оставен както е; tessaly продължава без него.</translation>
    </message>
    <message>
        <source>The provider %1 cannot be used.</source>
        <translation>Доставчикът %1 не може да се използва.</translation>
    </message>
    <message>
        <source>This module needs initialisation arguments of its own, which no general program passes; it cannot be used here.</source>
        <translation>Този модул изисква собствени аргументи за инициализация, които никоя обща програма не подава; той не може да се използва тук.</translation>
    </message>
    <message>
        <source>The certificate&apos;s key is neither an RSA nor a DSA key: the program works only with RSA and DSA keys.</source>
        <translation>Ключът на сертификата не е нито RSA, нито DSA ключ: програмата работи само с RSA и DSA ключове.</translation>
    </message>
    <message>
        <source>The provider %1 does not answer: its module has not finished its start after %2 seconds.
tessaly goes on without it; it is tried again at the next start of tessaly.</source>
        <translation>Доставчикът %1 не отговаря: модулът му не е завършил стартирането си след %2 секунди.
tessaly продължава без него; той ще бъде опитан отново при следващото стартиране на tessaly.</translation>
    </message>
    <message>
        <source>Its module file %1 is cut short: it ends before the parts the system needs to load it (an interrupted update or a full disk leaves such a file). Install the module again.</source>
        <translation>Файлът на модула му %1 е скъсен: свършва преди частите, които системата трябва да зареди (такъв файл остава след прекъснато обновяване или препълнен диск). Инсталирайте модула отново.</translation>
    </message>
    <message>
        <source>The module of the provider %1 was closed under it: another provider reaches the same module and was reloaded or closed. Reload the provider %1 to use it again.</source>
        <translation>Модулът на доставчика %1 беше затворен под него: друг доставчик достига същия модул и беше презареден или затворен. Презаредете доставчика %1, за да го използвате отново.</translation>
    </message>
    <message>
        <source>Unable to change user PIN.</source>
        <translation>ПИН на потребителя не може да бъде променен.</translation>
    </message>
    <message>
        <source>Unable to change AIN.</source>
        <translation>АИН не може да бъде променен.</translation>
    </message>
    <message>
        <source>Unable to print the access report.</source>
        <translation>Справката за правата за достъп не може да бъде отпечатана.</translation>
    </message>
    <message>
        <source>Unable to write the access report.</source>
        <translation>Справката за правата за достъп не може да бъде записана.</translation>
    </message>
    <message>
        <source>Unable to write the access report to %1.</source>
        <translation>Справката за правата за достъп не може да бъде записана в %1.</translation>
    </message>
    <message>
        <source>Unable to read the slot list again.</source>
        <translation>Списъкът на слотовете не може да бъде прочетен отново.</translation>
    </message>
    <message>
        <source>The smart-card was successfully initialized.
Access information:
	AIN: %1
	PIN: %2</source>
        <translation>Смарт картата беше инициализирана успешно.
Права за достъп:
	АИН: %1
	ПИН: %2</translation>
    </message>
    <message>
        <source>Import Certificate</source>
        <translation>Импортиране на сертификат</translation>
    </message>
    <message>
        <source>A certificate for this key-pair already exists. Would you like to replace it?</source>
        <translation>За тази двойка ключове вече има сертификат. Желаете ли да го замените?</translation>
    </message>
    <message>
        <source>Unable to import the certificate.</source>
        <translation>Сертификатът не може да бъде импортиран.</translation>
    </message>
    <message>
        <source>The certificate was successfully imported.</source>
        <translation>Сертификатът беше импортиран успешно.</translation>
    </message>
    <message>
        <source>Unable to export the certificate.</source>
        <translation>Сертификатът не може да бъде експортиран.</translation>
    </message>
    <message>
        <source>Export Certificate</source>
        <translation>Експортиране на сертификат</translation>
    </message>
    <message>
        <source>The certificate was successfully saved.</source>
        <translation>Сертификатът беше записан успешно.</translation>
    </message>
    <message>
        <source>Unable to delete object.</source>
        <translation>Обектът не може да бъде изтрит.</translation>
    </message>
    <message>
        <source>The object is no longer on the token.</source>
        <translation>Обектът вече не е на картата.</translation>
    </message>
    <message>
        <source>You are trying to delete certificate that has corresponding key(s).
If you do so, you will not be able to decrypt data encrypted with it.
Are you sure you want to continue?</source>
        <translation>Опитвате се да изтриете сертификат, който има съответни ключове.
Ако го направите, няма да можете да дешифрирате данни, шифрирани с него.
Сигурни ли сте, че искате да продължите?</translation>
    </message>
    <message>
        <source>You are trying to delete key that has corresponding certificate.
If you do so, you will not be able to decrypt data encrypted with it.
Are you sure you want to continue?</source>
        <translation>Опитвате се да изтриете ключ, който има съответен сертификат.
Ако го направите, няма да можете да дешифрирате данни, шифрирани с него.
Сигурни ли сте, че искате да продължите?</translation>
    </message>
    <message>
        <source>You are trying to delete key from key-pair.
If you do so, you will not be able to use this key-pair.
Are you sure you want to continue?</source>
        <translation>Опитвате се да изтриете ключ от двойка ключове.
Ако го направите, няма да можете да използвате тази двойка ключове.
Сигурни ли сте, че искате да продължите?</translation>
    </message>
    <message>
        <source>Delete Object</source>
        <translation>Изтриване на обект</translation>
    </message>
    <message>
        <source>Unable to logout.</source>
        <translation>Изходът не е възможен.</translation>
    </message>
    <message>
        <source>Unable to show the menu.</source>
        <translation>Менюто не може да бъде показано.</translation>
    </message>
    <message>
        <source>Unable to change PIN.</source>
        <translation>PIN кодът не може да бъде сменен.</translation>
    </message>
    <message>
        <source>The PIN was successfully changed.</source>
        <translation>PIN кодът беше сменен успешно.</translation>
    </message>
    <message>
        <source>Unable to unblock user PIN.</source>
        <translation>Потребителският PIN не може да бъде отблокиран.</translation>
    </message>
    <message>
        <source>The user PIN was successfully unblocked.</source>
        <translation>Потребителският PIN беше отблокиран успешно.</translation>
    </message>
    <message>
        <source>Unable to test the key pair.</source>
        <translation>Двойката ключове не може да бъде проверена.</translation>
    </message>
    <message>
        <source>Could not find public key on token!</source>
        <translation>Публичният ключ не беше намерен на картата!</translation>
    </message>
    <message>
        <source>Could not find private key on token!</source>
        <translation>Частният ключ не беше намерен на картата!</translation>
    </message>
    <message>
        <source>This key pair works fine!</source>
        <translation>Тази двойка ключове работи изправно!</translation>
    </message>
    <message>
        <source>The signature produced with this key pair is invalid!</source>
        <translation>Подписът, създаден с тази двойка ключове, е невалиден!</translation>
    </message>
    <message>
        <source>The signature verification failed.</source>
        <translation>Проверката на подписа беше неуспешна.</translation>
    </message>
    <message>
        <source>Unable to sign with the private key.</source>
        <translation>Не може да се подпише с частния ключ.</translation>
    </message>
    <message>
        <source>Unable to test the certificate.</source>
        <translation>Сертификатът не може да бъде проверен.</translation>
    </message>
    <message>
        <source>Could not find certificate on token!</source>
        <translation>Сертификатът не беше намерен на картата!</translation>
    </message>
    <message>
        <source>This certificate works fine!</source>
        <translation>Този сертификат работи изправно!</translation>
    </message>
    <message>
        <source>The signature produced with this certificate is invalid!</source>
        <translation>Подписът, създаден с този сертификат, е невалиден!</translation>
    </message>
    <message>
        <source>Unable to test the smart-card.</source>
        <translation>Смарт картата не може да бъде проверена.</translation>
    </message>
    <message>
        <source>Unable to generate RSA keypair.</source>
        <translation>Не може да бъде генерирана RSA двойка ключове.</translation>
    </message>
    <message>
        <source>This smart-card works fine!</source>
        <translation>Тази смарт карта работи изправно!</translation>
    </message>
    <message>
        <source>The smart-card is able to generate keys,
but the signature produced with this key is invalid!</source>
        <translation>Смарт картата може да генерира ключове,
но подписът, създаден с този ключ, е невалиден!</translation>
    </message>
    <message>
        <source>The key cannot be used with the requested mechanism.</source>
        <translation>Ключът не може да се използва с поискания механизъм.</translation>
    </message>
    <message>
        <source>The key is not allowed to perform the requested operation.</source>
        <translation>На ключа не е разрешено да извършва поисканата операция.</translation>
    </message>
    <message>
        <source>The requested mechanism is not supported by this token.</source>
        <translation>Поисканият механизъм не се поддържа от този токен.</translation>
    </message>
    <message>
        <source>Unable to request a certificate.</source>
        <translation>Сертификатът не може да бъде заявен.</translation>
    </message>
    <message>
        <source>Unable to download certificates.</source>
        <translation>Сертификатите не могат да бъдат изтеглени.</translation>
    </message>
    <message>
        <source>The smart card does not contain keys.</source>
        <translation>Смарт картата не съдържа ключове.</translation>
    </message>
    <message>
        <source>Digital Certificates (*.cer *.crt *.der *.pem)</source>
        <translation>Цифрови сертификати (*.cer *.crt *.der *.pem)</translation>
    </message>
    <message>
        <source>A certificate for the key-pair &quot;%1&quot; already exists. Would you like to replace it?</source>
        <translation>За двойката ключове „%1“ вече има сертификат. Желаете ли да го замените?</translation>
    </message>
    <message>
        <source>The access report could not be printed. Save it as PDF</source>
        <translation>Справката за правата за достъп не може да бъде отпечатана. Запишете я като PDF</translation>
    </message>
    <message>
        <source>(no label)</source>
        <translation>(без етикет)</translation>
    </message>
    <message>
        <source>The module does not let this attribute be set or changed.</source>
        <translation>Модулът не позволява този атрибут да бъде задаван или променян.</translation>
    </message>
    <message>
        <source>The module does not reveal the value of this attribute.</source>
        <translation>Модулът не разкрива стойността на този атрибут.</translation>
    </message>
    <message>
        <source>The module does not know one of the attributes given to it.</source>
        <translation>Модулът не познава един от подадените му атрибути.</translation>
    </message>
    <message>
        <source>The module does not accept the value of one of the attributes given to it.</source>
        <translation>Модулът не приема стойността на един от подадените му атрибути.</translation>
    </message>
    <message>
        <source>The token&apos;s policy does not allow this action.</source>
        <translation>Политиката на токена не позволява това действие.</translation>
    </message>
    <message>
        <source>The module does not accept the data given to it.</source>
        <translation>Модулът не приема подадените му данни.</translation>
    </message>
    <message>
        <source>The data is too long or too short for the module.</source>
        <translation>Данните са твърде дълги или твърде къси за модула.</translation>
    </message>
    <message>
        <source>The operation was cancelled on the token.</source>
        <translation>Операцията беше отменена на токена.</translation>
    </message>
    <message>
        <source>The token does not support keys of this length.</source>
        <translation>Токенът не поддържа ключове с тази дължина.</translation>
    </message>
    <message>
        <source>The key cannot be taken out of the token.</source>
        <translation>Ключът не може да бъде изваден от токена.</translation>
    </message>
    <message>
        <source>The PIN is too long or too short for this token.</source>
        <translation>PIN е твърде дълъг или твърде къс за този токен.</translation>
    </message>
    <message>
        <source>The signature is invalid.</source>
        <translation>Подписът е невалиден.</translation>
    </message>
    <message>
        <source>The module needs attributes that were not given to it.</source>
        <translation>Модулът се нуждае от атрибути, които не са му подадени.</translation>
    </message>
    <message>
        <source>The module does not accept this combination of attributes.</source>
        <translation>Модулът не приема тази комбинация от атрибути.</translation>
    </message>
    <message>
        <source>The token has no random number generator.</source>
        <translation>Токенът няма генератор на случайни числа.</translation>
    </message>
    <message>
        <source>The token does not support this elliptic curve.</source>
        <translation>Токенът не поддържа тази елиптична крива.</translation>
    </message>
    <message>
        <source>The module&apos;s answer is longer than the space given for it.</source>
        <translation>Отговорът на модула е по-дълъг от отделеното за него място.</translation>
    </message>
    <message>
        <source>The token failed its self-test.</source>
        <translation>Токенът не премина самопроверката си.</translation>
    </message>
    <message>
        <source>The module could not load a library it needs.</source>
        <translation>Модулът не успя да зареди необходима му библиотека.</translation>
    </message>
    <message>
        <source>The token refuses the new PIN as too weak.</source>
        <translation>Токенът отказва новия PIN като твърде слаб.</translation>
    </message>
    <message>
        <source>The token refused the operation.</source>
        <translation>Токенът отказа операцията.</translation>
    </message>
    <message>
        <source>The token could not cancel the operation.</source>
        <translation>Токенът не успя да отмени операцията.</translation>
    </message>
    <message>
        <source>The token found that the encrypted data was altered or does not belong to the key.</source>
        <translation>Токенът установи, че шифрованите данни са променени или не са към този ключ.</translation>
    </message>
    <message>
        <source>The token does not have the resources to perform the requested operation.</source>
        <translation>Токенът няма ресурсите, нужни за исканата операция.</translation>
    </message>
    <message>
        <source>The key has reached the number of uses the token allows for it.</source>
        <translation>Ключът е достигнал броя употреби, които токенът позволява за него.</translation>
    </message>
    <message>
        <source>The token has not finished the operation yet.</source>
        <translation>Токенът още не е завършил операцията.</translation>
    </message>
    <message>
        <source>The token does not support asynchronous operations.</source>
        <translation>Токенът не поддържа асинхронни операции.</translation>
    </message>
    <message>
        <source>The token's random number generator must be seeded first.</source>
        <translation>Генераторът на случайни числа на токена трябва първо да получи начална стойност.</translation>
    </message>
    <message>
        <source>The token's security policy does not allow this operation.</source>
        <translation>Политиката за сигурност на токена не позволява тази операция.</translation>
    </message>
    <message>
        <source>The token is not initialized.</source>
        <translation>Токенът не е инициализиран.</translation>
    </message>
    <message>
        <source>The token does not support this parameter set.</source>
        <translation>Токенът не поддържа този набор от параметри.</translation>
    </message>
    <message>
        <source>The module does not accept temporary key pairs, which the token test generates.</source>
        <translation>Модулът не приема временни двойки ключове, а проверката на токена създава такива.</translation>
    </message>
    <message>
        <source>Replace Certificate</source>
        <translation>Замяна на сертификат</translation>
    </message>
    <message>
        <source>Slot %1</source>
        <translation>Слот %1</translation>
    </message>
    <message>
        <source>Not everything on the token &quot;%1&quot; could be listed.</source>
        <translation>Не всичко на токена &quot;%1&quot; може да бъде показано.</translation>
    </message>
    <message>
        <source>The search for certificates failed; some may be missing.</source>
        <translation>Търсенето на сертификати е неуспешно; някои може да липсват.</translation>
    </message>
    <message>
        <source>Certificates that could not be read: %1</source>
        <translation>Сертификати, които не могат да бъдат прочетени: %1</translation>
    </message>
    <message>
        <source>The search for public keys failed; some may be missing.</source>
        <translation>Търсенето на публични ключове е неуспешно; някои може да липсват.</translation>
    </message>
    <message>
        <source>Public keys that could not be read: %1</source>
        <translation>Публични ключове, които не могат да бъдат прочетени: %1</translation>
    </message>
    <message>
        <source>The search for private keys failed; some may be missing.</source>
        <translation>Търсенето на частни ключове е неуспешно; някои може да липсват.</translation>
    </message>
    <message>
        <source>Private keys that could not be read: %1</source>
        <translation>Частни ключове, които не могат да бъдат прочетени: %1</translation>
    </message>
    <message>
        <source>Digital Certificates, DER (*.cer *.crt *.der)</source>
        <translation>Цифрови сертификати, DER (*.cer *.crt *.der)</translation>
    </message>
    <message>
        <source>Digital Certificates, PEM (*.pem)</source>
        <translation>Цифрови сертификати, PEM (*.pem)</translation>
    </message>
    <message>
        <source>The certificate has no private key on the token.</source>
        <translation>Сертификатът няма частен ключ на картата.</translation>
    </message>
    <message>
        <source>The card was erased and labelled &quot;%1&quot;, but its initialization did not finish. No access report was made.</source>
        <translation>Картата беше изтрита и получи етикета „%1“, но инициализирането ѝ не завърши. Справка за правата за достъп не беше направена.</translation>
    </message>
    <message>
        <source>Access information the card has now:</source>
        <translation>Права за достъп, които картата има сега:</translation>
    </message>
    <message>
        <source>AIN: %1</source>
        <translation>АИН: %1</translation>
    </message>
    <message>
        <source>(the new AIN was not set)</source>
        <translation>(новият АИН не беше зададен)</translation>
    </message>
    <message>
        <source>PIN: %1</source>
        <translation>ПИН: %1</translation>
    </message>
    <message>
        <source>PIN: not set</source>
        <translation>ПИН: не е зададен</translation>
    </message>
    <message>
        <source>The initialization timed out and no login with the fallback AIN succeeded: it is not known whether the card was erased and labelled &quot;%1&quot;. No access report was made.</source>
        <translation>Времето за инициализиране изтече и вписване с резервния АИН не беше успешно: не е известно дали картата е изтрита и е получила етикета „%1“. Справка за правата за достъп не беше направена.</translation>
    </message>
    <message>
        <source>Access information the card may have now:</source>
        <translation>Права за достъп, които картата може да има сега:</translation>
    </message>
    <message>
        <source>(its old one, if it was not erased)</source>
        <translation>(предишният, ако не е изтрита)</translation>
    </message>
    <message>
        <source>(the fallback, if it was erased)</source>
        <translation>(резервният, ако е изтрита)</translation>
    </message>
    <message>
        <source>PIN: its old one, or not set if it was erased</source>
        <translation>ПИН: предишният или не е зададен, ако е изтрита</translation>
    </message>
    <message>
        <source>Card insertions and removals on the provider %1 cannot be followed: every wait for them failed at once.</source>
        <translation>Поставянето и изваждането на карти при доставчика %1 не може да се следи: всяко изчакване завърши веднага с грешка.</translation>
    </message>
    <message>
        <source>Card insertions and removals on the provider %1 are no longer followed: waiting for them failed again and again.
You can try again by choosing Edit-&gt;Reload from the main menu.</source>
        <translation>Поставянето и изваждането на карти при доставчика %1 вече не се следи: изчакването им многократно завърши с грешка.
Можете да опитате отново с Редактиране-&gt;Презареди от главното меню.</translation>
    </message>
    <message>
        <source>Card insertions and removals on the provider %1 were no longer followed, and loading it again failed.
You can try again by choosing Edit-&gt;Reload from the main menu.</source>
        <translation>Поставянето и изваждането на карти при доставчика %1 вече не се следеше, а повторното му зареждане завърши с грешка.
Можете да опитате отново с Редактиране-&gt;Презареди от главното меню.</translation>
    </message>
    <message>
        <source>The settings file %1 is damaged: %2.
What could be read of it is used. When the settings are saved, the file as it is now is kept as %3 (the one copy of a damaged settings file: an earlier one is replaced).</source>
        <translation>Файлът с настройките %1 е повреден: %2.
Използва се това, което може да бъде прочетено от него. При записване на настройките файлът се запазва в сегашния си вид като %3 (единственото копие на повреден файл с настройки: по-старото се заменя).</translation>
    </message>
    <message>
        <source>it is larger than any settings file (over %1 MB), only its start was read</source>
        <translation>по-голям е от всеки файл с настройки (над %1 МБ), прочетено е само началото му</translation>
    </message>
    <message>
        <source>a section head in it is cut short</source>
        <translation>заглавие на раздел в него е прекъснато</translation>
    </message>
    <message>
        <source>it ends inside a line, as a file cut short does</source>
        <translation>завършва по средата на ред, както прекъснат файл</translation>
    </message>
    <message>
        <source>lines that are no settings were left out (%1)</source>
        <translation>пропуснати са редове, които не са настройки (%1)</translation>
    </message>
    <message>
        <source>its provider table had no size that matches its entries; the providers found in it are used (%1)</source>
        <translation>таблицата с доставчици в него няма брой, който отговаря на записите ѝ; използват се намерените в нея доставчици (%1)</translation>
    </message>
    <message>
        <source>a line could not be read</source>
        <translation>ред в него не може да бъде прочетен</translation>
    </message>
    <message>
        <source>The access report could not be printed. It holds the card&apos;s new PINs: save it as a PDF file in the next dialog.</source>
        <translation>Справката за правата за достъп не може да бъде отпечатана. Тя съдържа новите PIN кодове на картата: запишете я като PDF файл в следващия прозорец.</translation>
    </message>
    <message>
        <source>Save the access report as PDF</source>
        <translation>Запис на справката като PDF</translation>
    </message>
    <message>
        <source>The access report was not saved. Write down the new PINs now: the next message shows them, and nothing else keeps them.</source>
        <translation>Справката за правата за достъп не е записана. Запишете си новите PIN кодове сега: следващото съобщение ги показва и никъде другаде те не се пазят.</translation>
    </message>
    <message>
        <source>Actions</source>
        <translation>Действия</translation>
    </message>
    <message>
        <source>Divider between the list and the details</source>
        <translation>Разделител между списъка и подробностите</translation>
    </message>
</context>
<context>
    <name>PinText</name>
    <message>
        <source>The PIN contains a character that cannot be sent to the card.</source>
        <translation>PIN кодът съдържа знак, който не може да бъде изпратен към картата.</translation>
    </message>
    <message>
        <source>The new PINs differ.</source>
        <translation>Новите PIN кодове не съвпадат.</translation>
    </message>
</context>
<context>
    <name>ProtectedAuthPathDialog</name>
    <message>
        <source>Protected Token Authentication</source>
        <translation>Защитено удостоверяване пред картата</translation>
    </message>
    <message>
        <source>Please authenticate to the token. Authentication method depends on the type of your token.</source>
        <translation>Моля, удостоверете се пред картата. Начинът на удостоверяване зависи от вида на картата ви.</translation>
    </message>
</context>
<context>
    <name>ProvidersDialog</name>
    <message>
        <source>Add Device</source>
        <translation>Добавяне на устройство</translation>
    </message>
    <message>
        <source>Module %1 already exists.</source>
        <translation>Модулът %1 вече съществува.</translation>
    </message>
    <message>
        <source>Remove Device</source>
        <translation>Премахване на устройство</translation>
    </message>
    <message>
        <source>Are you sure you want to remove the selected module(s)?</source>
        <translation>Сигурни ли сте, че искате да премахнете избраните модули?</translation>
    </message>
    <message>
        <source>Preferences</source>
        <translation>Настройки</translation>
    </message>
    <message>
        <source>Language selection</source>
        <translation>Избор на език</translation>
    </message>
    <message>
        <source>PKCS#11 devices</source>
        <translation>PKCS#11 устройства</translation>
    </message>
    <message>
        <source>Description</source>
        <translation>Описание</translation>
    </message>
    <message>
        <source>Module</source>
        <translation>Модул</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>Добави</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Премахни</translation>
    </message>
    <message>
        <source>Reset to default</source>
        <translation>Стандартни настройки</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>Добре</translation>
    </message>
</context>
<context>
    <name>QMessageBoxEx</name>
    <message>
        <source>Show this message again</source>
        <translation>Показвай това съобщение отново</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>Добре</translation>
    </message>
</context>
<context>
    <name>QOIDInput</name>
    <message>
        <source>Invalid text</source>
        <translation>Невалиден текст</translation>
    </message>
    <message>
        <source>The text is too short.</source>
        <translation>Текстът е твърде кратък.</translation>
    </message>
    <message>
        <source>The text is too long.</source>
        <translation>Текстът е твърде дълъг.</translation>
    </message>
    <message>
        <source>The text is not valid.</source>
        <translation>Текстът не е валиден.</translation>
    </message>
    <message>
        <source>Choose an entry from the list.</source>
        <translation>Изберете елемент от списъка.</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Public Key</source>
        <translation>Публичен ключ</translation>
    </message>
    <message>
        <source>Private Key</source>
        <translation>Частен ключ</translation>
    </message>
    <message>
        <source>Key supports</source>
        <translation>Ключът поддържа</translation>
    </message>
    <message>
        <source>Key Length</source>
        <translation>Дължина на ключа</translation>
    </message>
    <message>
        <source>%1 bits</source>
        <translation>%1 бита</translation>
    </message>
    <message>
        <source>The certificate can not be decoded.</source>
        <translation>Сертификатът не може да бъде декодиран.</translation>
    </message>
    <message>
        <source>Serial number</source>
        <translation>Сериен номер</translation>
    </message>
    <message>
        <source>Subject</source>
        <translation>Субект</translation>
    </message>
    <message>
        <source>Organization</source>
        <translation>Организация</translation>
    </message>
    <message>
        <source>Issuer</source>
        <translation>Издател</translation>
    </message>
    <message>
        <source>Valid from</source>
        <translation>Валиден от</translation>
    </message>
    <message>
        <source>Public key</source>
        <translation>Публичен ключ</translation>
    </message>
    <message>
        <source>Valid to</source>
        <translation>Валиден до</translation>
    </message>
    <message>
        <source>Encryption,</source>
        <translation>Шифриране, </translation>
    </message>
    <message>
        <source>Verification,</source>
        <translation>Проверка, </translation>
    </message>
    <message>
        <source>Wrapping,</source>
        <translation>Опаковане, </translation>
    </message>
    <message>
        <source>Decryption,</source>
        <translation>Дешифриране, </translation>
    </message>
    <message>
        <source>Signing,</source>
        <translation>Подписване, </translation>
    </message>
    <message>
        <source>Unwrapping,</source>
        <translation>Разопаковане, </translation>
    </message>
    <message>
        <source>Description</source>
        <translation>Описание</translation>
    </message>
    <message>
        <source>Manufacturer</source>
        <translation>Производител</translation>
    </message>
    <message>
        <source>The reader is empty.</source>
        <translation>Четецът е празен.</translation>
    </message>
    <message>
        <source>Token present.</source>
        <translation>Има карта.</translation>
    </message>
    <message>
        <source>Unrecognized token present.</source>
        <translation>Има неразпозната карта.</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Състояние</translation>
    </message>
    <message>
        <source>Card label</source>
        <translation>Етикет на картата</translation>
    </message>
    <message>
        <source>Card model</source>
        <translation>Модел на картата</translation>
    </message>
    <message>
        <source>Minimum PIN length</source>
        <translation>Минимална дължина на PIN</translation>
    </message>
    <message>
        <source>%1</source>
        <translation>%1</translation>
    </message>
    <message>
        <source>Maximum PIN length</source>
        <translation>Максимална дължина на PIN</translation>
    </message>
    <message>
        <source>Public memory</source>
        <translation>Публична памет</translation>
    </message>
    <message>
        <source>%1 of %2 bytes free</source>
        <translation>%1 от %2 байта свободни</translation>
    </message>
    <message>
        <source>Private memory</source>
        <translation>Лична памет</translation>
    </message>
    <message>
        <source>The card is not initialized.</source>
        <translation>Картата не е инициализирана.</translation>
    </message>
    <message>
        <source>The user PIN of the card is blocked.</source>
        <translation>Потребителският PIN на картата е блокиран.</translation>
    </message>
    <message>
        <source>The administrative PIN of the card is blocked.</source>
        <translation>Административният PIN на картата е блокиран.</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Грешка</translation>
    </message>
    <message>
        <source>The certificate request was not sent.</source>
        <translation>Заявката за сертификат не беше изпратена.</translation>
    </message>
    <message>
        <source>The connection to the server failed</source>
        <translation>Връзката със сървъра е неуспешна</translation>
    </message>
    <message>
        <source>The certificate request failed for an unknown reason.</source>
        <translation>Заявката за сертификат е неуспешна по неизвестна причина.</translation>
    </message>
    <message>
        <source>The certificate request form cannot be opened.</source>
        <translation>Формулярът на заявката за сертификат не може да бъде отворен.</translation>
    </message>
    <message>
        <source>Sending certificate request...</source>
        <translation>Изпращане на заявката за сертификат...</translation>
    </message>
    <message>
        <source>The certificate request was accepted.</source>
        <translation>Заявката за сертификат беше приета.</translation>
    </message>
    <message>
        <source>The certificate request is malformed.</source>
        <translation>Заявката за сертификат е неправилно оформена.</translation>
    </message>
    <message>
        <source>The certificate request was rejected.</source>
        <translation>Заявката за сертификат беше отхвърлена.</translation>
    </message>
    <message>
        <source>Certificate Request</source>
        <translation>Заявка за сертификат</translation>
    </message>
    <message>
        <source>The signed request does not verify against its own public key.</source>
        <translation>Подписаната заявка не се проверява успешно със собствения си публичен ключ.</translation>
    </message>
    <message>
        <source>The address of the request service is not an https address: %1</source>
        <translation>Адресът на услугата за заявки не е https адрес: %1</translation>
    </message>
    <message>
        <source>The trusted certificates file cannot be read: %1</source>
        <translation>Файлът с доверените сертификати не може да бъде прочетен: %1</translation>
    </message>
    <message>
        <source>Downloading certificates failed.</source>
        <translation>Изтеглянето на сертификатите е неуспешно.</translation>
    </message>
    <message>
        <source>The certificate of the key pair &quot;%1&quot; was not installed.</source>
        <translation>Сертификатът на двойката ключове &quot;%1&quot; не беше инсталиран.</translation>
    </message>
    <message>
        <source>The key pair &quot;%1&quot; is not an RSA or DSA pair; its certificate is not looked for.</source>
        <translation>Двойката ключове &quot;%1&quot; не е RSA или DSA; сертификат за нея не се търси.</translation>
    </message>
    <message>
        <source>The identifier of the key pair cannot be computed on the token.</source>
        <translation>Идентификаторът на двойката ключове не може да бъде изчислен на токена.</translation>
    </message>
    <message>
        <source>The key pair cannot be read.</source>
        <translation>Двойката ключове не може да бъде прочетена.</translation>
    </message>
    <message>
        <source>Download Certificates</source>
        <translation>Изтегляне на сертификати</translation>
    </message>
    <message>
        <source>The smart card holds no RSA or DSA key pair to download a certificate for.</source>
        <translation>Смарт картата не съдържа двойка RSA или DSA ключове, за която да се изтегли сертификат.</translation>
    </message>
    <message>
        <source>The connection to the server failed.</source>
        <translation>Връзката със сървъра е неуспешна.</translation>
    </message>
    <message>
        <source>The request service did not tell the state of the requests.</source>
        <translation>Услугата за заявки не съобщи състоянието на заявките.</translation>
    </message>
    <message>
        <source>The request service refused the certificate request.</source>
        <translation>Услугата за заявки отказа заявката за сертификат.</translation>
    </message>
    <message>
        <source>The request service answered with a state that this program does not know; the request may have been filed.</source>
        <translation>Услугата за заявки отговори със състояние, което тази програма не познава; заявката може да е била регистрирана.</translation>
    </message>
    <message>
        <source>The request service answered for the key &quot;%1&quot; with the state %2, which this program does not know.</source>
        <translation>Услугата за заявки отговори за ключа &quot;%1&quot; със състояние %2, което тази програма не познава.</translation>
    </message>
    <message>
        <source>The request service answered with a state that this program does not know: %1.</source>
        <translation>Услугата за заявки отговори със състояние, което тази програма не познава: %1.</translation>
    </message>
    <message>
        <source>The request service told the state of a key it was not asked about: &quot;%1&quot;.</source>
        <translation>Услугата за заявки съобщи състоянието на ключ, за който не е питана: &quot;%1&quot;.</translation>
    </message>
    <message>
        <source>The request service told the state of the key &quot;%1&quot; twice; the first is used.</source>
        <translation>Услугата за заявки съобщи два пъти състоянието на ключа &quot;%1&quot;; използва се първото.</translation>
    </message>
    <message>
        <source>The request is pending.</source>
        <translation>Заявката очаква обработка.</translation>
    </message>
    <message>
        <source>The request is rejected.</source>
        <translation>Заявката е отхвърлена.</translation>
    </message>
    <message>
        <source>There are no requests for this key-set.</source>
        <translation>Няма заявки за тази двойка ключове.</translation>
    </message>
    <message>
        <source>The results are summarized below:</source>
        <translation>Резултатите са обобщени по-долу:</translation>
    </message>
    <message>
        <source>The service sent an empty nonce.</source>
        <translation>Услугата изпрати празна еднократна стойност (nonce).</translation>
    </message>
    <message>
        <source>The service refused to give a nonce for the key.</source>
        <translation>Услугата отказа да даде еднократна стойност (nonce) за ключа.</translation>
    </message>
    <message>
        <source>The service sent a nonce of %1 bytes, more than %2; it was not signed.</source>
        <translation>Услугата изпрати еднократна стойност (nonce) от %1 байта, повече от %2; тя не беше подписана.</translation>
    </message>
    <message>
        <source>Unable to generate random data.</source>
        <translation>Не могат да бъдат генерирани случайни данни.</translation>
    </message>
    <message>
        <source>Unable to digest data.</source>
        <translation>Не може да бъде изчислен хеш на данните.</translation>
    </message>
    <message>
        <source>Unable to sign data.</source>
        <translation>Данните не могат да бъдат подписани.</translation>
    </message>
    <message>
        <source>The remote server returned an empty file.</source>
        <translation>Отдалеченият сървър върна празен файл.</translation>
    </message>
    <message>
        <source>The service refused the proof of possession.</source>
        <translation>Услугата отхвърли доказателството за притежание на ключа.</translation>
    </message>
    <message>
        <source>The service sent data that is not a certificate.</source>
        <translation>Услугата изпрати данни, които не са сертификат.</translation>
    </message>
    <message>
        <source>The service sent a certificate that is not for this key pair.</source>
        <translation>Услугата изпрати сертификат, който не е за тази двойка ключове.</translation>
    </message>
    <message>
        <source>The request is approved, but the certificate was not installed.</source>
        <translation>Заявката е одобрена, но сертификатът не беше инсталиран.</translation>
    </message>
    <message>
        <source>The request is approved and the certificate was installed.</source>
        <translation>Заявката е одобрена и сертификатът беше инсталиран.</translation>
    </message>
    <message>
        <source>Downloading the certificate failed.</source>
        <translation>Изтеглянето на сертификата е неуспешно.</translation>
    </message>
    <message>
        <source>The request service client&apos;s faults so far:</source>
        <translation>Досегашните грешки на клиента на услугата за заявки:</translation>
    </message>
    <message>
        <source>N/A</source>
        <translation>Няма данни</translation>
    </message>
    <message>
        <source>Elliptic Curve</source>
        <translation>EC</translation>
    </message>
</context>
<context>
    <name>QResizeWidget</name>
    <message>
        <source>Top-left corner of the window</source>
        <translation>Горен ляв ъгъл на прозореца</translation>
    </message>
    <message>
        <source>Top edge of the window</source>
        <translation>Горен край на прозореца</translation>
    </message>
    <message>
        <source>Top-right corner of the window</source>
        <translation>Горен десен ъгъл на прозореца</translation>
    </message>
    <message>
        <source>Right edge of the window</source>
        <translation>Десен край на прозореца</translation>
    </message>
    <message>
        <source>Bottom-right corner of the window</source>
        <translation>Долен десен ъгъл на прозореца</translation>
    </message>
    <message>
        <source>Bottom edge of the window</source>
        <translation>Долен край на прозореца</translation>
    </message>
    <message>
        <source>Bottom-left corner of the window</source>
        <translation>Долен ляв ъгъл на прозореца</translation>
    </message>
    <message>
        <source>Left edge of the window</source>
        <translation>Ляв край на прозореца</translation>
    </message>
</context>
<context>
    <name>QTitleBarWidget</name>
    <message>
        <source>Minimize</source>
        <translation>Минимизиране</translation>
    </message>
    <message>
        <source>Restore</source>
        <translation>Възстановяване</translation>
    </message>
    <message>
        <source>Maximize</source>
        <translation>Максимизиране</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Затваряне</translation>
    </message>
</context>
<context>
    <name>SelectUserDialog</name>
    <message>
        <source>Login</source>
        <translation>Вход</translation>
    </message>
    <message>
        <source>Select user:</source>
        <translation>Изберете потребител:</translation>
    </message>
    <message>
        <source>User</source>
        <translation>Потребител</translation>
    </message>
    <message>
        <source>Administrator</source>
        <translation>Администратор</translation>
    </message>
</context>
<context>
    <name>TextPrinter</name>
    <message>
        <source>Print Document</source>
        <translation>Печат на документ</translation>
    </message>
    <message>
        <source>Export PDF</source>
        <translation>Експорт в PDF</translation>
    </message>
    <message>
        <source>Print Preview</source>
        <translation>Преглед преди печат</translation>
    </message>
</context>
<context>
    <name>UnblockPINDialog</name>
    <message>
        <source>Unblock PIN</source>
        <translation>Отблокиране на PIN</translation>
    </message>
    <message>
        <source>You need the administrative PIN of this card in order to unblock the user PIN.
Please enter it below:</source>
        <translation>За да отблокирате потребителския PIN, ви е необходим администраторският PIN на тази карта.
Моля, въведете го по-долу:</translation>
    </message>
    <message>
        <source>Enter new user PIN:</source>
        <translation>Въведете нов потребителски PIN:</translation>
    </message>
    <message>
        <source>Re-enter PIN for verification:</source>
        <translation>Въведете отново PIN за проверка:</translation>
    </message>
</context>
</TS>
