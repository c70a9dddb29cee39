#include "issuerlib/code_labels.h"

namespace qel {

std::optional<std::string> lookupLabel(const LabelTable& table, std::string_view code) {
    auto it = table.find(code);
    if (it == table.end()) return std::nullopt;
    return it->second;
}

const LabelTable& civilityLabels() {
    static const LabelTable table{
        {"22", "Madame"},
        {"23", "Mademoiselle"},
        {"31", "Monsieur"},
    };
    return table;
}

const LabelTable& cardTypeLabels() {
    // The card carries the type as a code only; these are our own wordings.
    static const LabelTable table{
        {"00", "Carte de professionnel de santé"},
        {"01", "Carte de professionnel en formation"},
        {"02", "Carte de directeur d'établissement"},
        {"03", "Carte de personnel d'établissement"},
    };
    return table;
}

const LabelTable& professionLabels() {
    static const LabelTable table{
        {"10", "Médecin"},
        {"21", "Pharmacien"},
        {"26", "Audioprothésiste"},
        {"28", "Opticien - Lunetier"},
        {"40", "Chirurgien - Dentiste"},
        {"50", "Sage - Femme"},
        {"60", "Infirmier"},
        {"69", "Infirmier psychiatrique"},
        {"70", "Masseur - Kinésithérapeute"},
        {"80", "Pédicure - Podologue"},
        {"81", "Orthoprothésiste"},
        {"82", "Podo - Orthésiste"},
        {"83", "Orthopédiste - Orthésiste"},
        {"84", "Oculariste"},
        {"85", "Epithésiste"},
        {"86", "Technicien de labo médical"},
        {"91", "Orthophoniste"},
        {"92", "Orthoptiste"},
        {"94", "Ergothérapeute"},
        {"95", "Diététicien"},
        {"96", "Psychomotricien"},
        {"98", "Manipulateur ERM"},
    };
    return table;
}

const LabelTable& practiceModeLabels() {
    static const LabelTable table{
        {"00", "Libéral, exploitant ou commerçant"},
        {"01", "Salarié"},
        {"04", "Remplaçant"},
        {"07", "Non rétribué"},
    };
    return table;
}

const LabelTable& pharmacistSectionLabels() {
    static const LabelTable table{
        {"A", "Pharmacien titulaire d'officine"},
        {"B", "Pharmacien d'entreprise - industrie"},
        {"C", "Pharmacien d'entreprise - distribution"},
        {"D", "Pharmacien adjoint, remplaçant ou gérant"},
        {"DA", "Pharmacien adjoint officine"},
        {"DH", "Pharmacien d'un établissement de soins"},
        {"DM", "Pharmacien mutualiste ou minier"},
        {"E", "Pharmacien d'Outre-Mer"},
        {"EA", "Pharmacien titulaire d'officine - OM"},
        {"EB", "Pharmacien d'entreprise - industrie - OM"},
        {"EC", "Pharmacien d'entreprise - distribution - OM"},
        {"ED", "Pharmacien adjoint - OM"},
        {"EG", "Pharmacien biologiste - OM"},
        {"EH", "Pharmacien d'établissement de santé - OM"},
        {"G", "Pharmacien biologiste"},
        {"H", "Pharmacien d'un établissement de soins"},
        {"M", "Pharmacien militaire"},
    };
    return table;
}

const LabelTable& structureIdTypeLabels() {
    static const LabelTable table{
        {"0", "Id Cabinet ADELI"}, {"1", "FINESS"}, {"2", "SIREN"}, {"3", "SIRET"}, {"4", "Id Cabinet RPPS"},
    };
    return table;
}

const LabelTable& activitySectorLabels() {
    static const LabelTable table{
        {"SA01", "Etablissement public de santé"},
        {"SA02", "Hôpital militaire du Service de santé des armées"},
        {"SA03", "Etablissement privé PSPH"},
        {"SA04", "Etablissement privé non PSPH"},
        {"SA05", "Centre de santé"},
        {"SA06", "Autre structure du Service de santé des armées"},
        {"SA07", "Cabinet individuel"},
        {"SA08", "Cabinet de groupe"},
        {"SA09", "Exercice en Société"},
        {"SA10", "Transporteur sanitaire"},
        {"SA11", "Entreprise d'intérim"},
        {"SA12", "Etablissement de soins et prévention"},
        {"SA13", "Prévention et soins en entreprise"},
        {"SA14", "Etablissement scolaire ou universitaire"},
        {"SA15", "PMI et Planification familiale"},
        {"SA16", "Etablissement pour personnes handicapées"},
        {"SA17", "Etablissement pour personnes agées"},
        {"SA18", "Etablissement aide à la famille"},
        {"SA19", "Etablissement d'enseignement"},
        {"SA20", "Etablissement pour la protection de l'enfance"},
        {"SA21", "Etablissement d'hébergement et de réadaptation"},
        {"SA22", "Recherche"},
        {"SA23", "Assurance privée"},
        {"SA24", "Organisme de sécurité sociale"},
        {"SA25", "Laboratoire de biologie médicale"},
        {"SA26", "Ministère ou Service déconcentré"},
        {"SA27", "Collectivité Territoriale"},
        {"SA28", "Association ou organisme humanitaire"},
        {"SA29", "Laboratoire d'analyses et de biologie médicale"},
        {"SA30", "Autre établissement sanitaire"},
        {"SA31", "Répartition et Distribution de médicaments et dispositifs médicaux"},
        {"SA32", "Fabrication, Exploitation et Importation de médicaments et dispositifs médicaux"},
        {"SA33", "Pharmacie d'officine"},
        {"SA34", "Centre de dialyse"},
        {"SA35", "Para - pharmacie"},
        {"SA36", "Centre anti - cancer"},
        {"SA37", "Centre de transfusion sanguine"},
        {"SA38", "Pharmacie minière"},
        {"SA39", "Pharmacie mutualiste"},
        {"SA40", "Secteur privé, praticien hospitalier temps plein"},
        {"SA41", "Autre établissement du domaine social"},
        {"SA42", "Appareillage médical"},
        {"SA43", "Secteur non défini"},
        {"SA44", "Recrutement ou Gestion RH"},
        {"SA45", "Communication, Marketing, Consulting, Média"},
        {"SA46",
         "Fabrication, Exploitation, Importation, Répartition, Distribution médicaments et dispositifs "
         "médicaux"},
        {"SA47", "Incendie et secours"},
        {"SA48", "Entreprise industrielle et tertiaire hors industrie pharmaceutique"},
        {"SA49", "Entité Outre - Mer"},
        {"SA50", "Structure d'urgence hors établissement hospitalier"},
        {"SA51", "Structure de coopération avec autorisation de soins"},
        {"SA52", "Maison de santé ou Pôle de santé"},
        {"SA53", "Siège administratif d'un établissement de santé"},
        {"SA54", "Organisme de dépistage et de prévention"},
        {"SA55", "Laboratoire pharmaceutique"},
        {"SA56", "Propharmacie"},
        {"SA57", "Structure de coopération avec mission de coordination de soins"},
        {"SA58", "Entreprise de taxis"},
        {"SA59", "Laboratoire de biologie médicale hors catégorie standard"},
    };
    return table;
}

const LabelTable& specialityLabels() {
    static const LabelTable table{
        {"01", "Médecine générale"},
        {"02", "Anesthésiologie - réanimation chirurgicale"},
        {"03", "Pathologie cardio - vasculaire"},
        {"04", "Chirurgie générale"},
        {"05", "Dermatologie et Vénéréologie"},
        {"06", "Radiodiagnostic et Imagerie médicale"},
        {"07", "Gynécologie obstétrique"},
        {"08", "Gastro - Entérologie et Hépathologie"},
        {"09", "Médecine interne"},
        {"10", "Neuro - chirurgien"},
        {"11", "Oto - Rhino - Laryngologiste"},
        {"12", "Pédiatre"},
        {"13", "Pneumologie"},
        {"14", "Rhumatologie"},
        {"15", "Ophtalmologie"},
        {"16", "Chirurgie urologique"},
        {"17", "Neuro - psychiatrie"},
        {"18", "Stomatologie"},
        {"19", "Chirurgie dentaire"},
        {"20", "Réanimation médicale"},
        {"21", "Sage - Femme"},
        {"24", "Infirmier"},
        {"26", "Masseur - Kinésithérapeute"},
        {"27", "Pédicure"},
        {"28", "Orthophoniste"},
        {"29", "Orthoptiste"},
        {"30", "Laboratoire d'analyses médicales"},
        {"31", "Médecine physique et de réadaptation"},
        {"32", "Neurologie"},
        {"33", "Psychiatrie générale"},
        {"34", "Gériatrie"},
        {"35", "Néphrologie"},
        {"36", "Chirurgie dentaire(spéc.O.D.F.)"},
        {"37", "Anatomie - cytologie - pathologiques"},
        {"38", "Médecin biologiste"},
        {"39", "Laboratoire polyvalent"},
        {"40", "Laboratoire anatomo - pathologiste"},
        {"41", "Chirurgie orthopédique et Traumatologie"},
        {"42", "Endocrinologie et métabolismes"},
        {"43", "Chirurgie infantile"},
        {"44", "Chirurgie maxillo - faciale"},
        {"45", "Chirurgie maxillo - faciale et Stomatologie"},
        {"46", "Chirurgie plastique reconstructrice et esthétique"},
        {"47", "Chirurgie thoracique et cardio - vasculaire"},
        {"48", "Chirurgie vasculaire"},
        {"49", "Chirurgie viscérale et digestive"},
        {"50", "Pharmacien"},
        {"51", "Pharmacien mutualiste"},
        {"53", "Chirurgien dentiste spécialité Chirurgie orale"},
        {"54", "Chirurgien dentiste spécialité Médecine bucco - dentaire"},
        {"69", "Chirurgie orale"},
        {"70", "Gynécologie médicale"},
        {"71", "Hématologie"},
        {"72", "Médecine nucléaire"},
        {"73", "Oncologie médicale"},
        {"74", "Oncologie radiothérapique"},
        {"75", "Psychiatrie de l'enfant et de l'adolescent"},
        {"76", "Radiothérapie"},
        {"77", "Obstétrique"},
        {"78", "Génétique médicale"},
        {"79", "Gynécologie obstétrique et gynécologie médicale"},
        {"80", "Santé publique et médecine sociale"},
        {"99", "Non définie"},
    };
    return table;
}

const LabelTable& conventionLabels() {
    static const LabelTable table{
        {"0", "Non conventionné"},
        {"1", "Conventionné"},
        {"2", "Conventionné avec dépassement"},
        {"3", "Conventionné avec honoraires libres"},
        {"9", "Etablissement ou Centre de Santé"},
    };
    return table;
}

const LabelTable& tariffZoneLabels() {
    static const LabelTable table{
        {"40", "Zone A"}, {"50", "Zone B"}, {"60", "Zone C"}, {"70", "Zone D"},
        {"10", "Zone A"}, {"11", "Zone A"}, {"20", "Zone B"}, {"22", "Zone B"},
        {"23", "Zone B"}, {"24", "Zone B"}, {"25", "Zone B"}, {"30", "Zone C"},
        {"80", "Zone B"}, {"81", "Zone A"}, {"82", "Zone B"}, {"83", "Zone B"},
        {"84", "Zone B"}, {"85", "Zone B"}, {"31", "Zone A"}, {"32", "Zone B"},
        {"33", "Zone B"}, {"34", "Zone B"}, {"35", "Zone B"}, {"99", "Zone tarifaire non définie"},
    };
    return table;
}

const LabelTable& mileageLabels() {
    static const LabelTable table{
        {"0", "Pas d'indemnité kilométrique"},          {"1", "Indemnités kilométriques plaine"},
        {"2", "Indemnités kilométriques montagne"},     {"3", "Indemnités kilométriques spéciales"},
        {"9", "Indemnités kilométriques non définies"},
    };
    return table;
}

const LabelTable& agreementLabels() {
    static const LabelTable table{
        {"00", "Aucun"}, {"01", "D ou DDASS"}, {"02", "A, B, C, E, F"},       {"03", "G, H, J"}, {"04", "K"},
        {"05", "L"},     {"06", "M"},          {"99", "Agrément non défini"},
    };
    return table;
}

}  // namespace qel
